#pragma once
// SHA-1 digests as 40 lower-case hex digits. Plain functions, reentrant, any thread.

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/foundation/Data.h"

// SHA-1 of length bytes. The length is a full size_t, so inputs of 4 GiB and
// more hash correctly. Null bytes count as the empty message.
std::string BCNSHA1HexStringFromBytes(const void* bytes, size_t length);

std::string BCNSHA1HexStringFromData(const foundation::Data& data);
