#pragma once
// Visiting the byte ranges of a data object. Plain function, reentrant, any thread.

#include <cstddef>
#include <cstdint>
#include <functional>

#include "platform/foundation/Data.h"

struct BCNRange {
    size_t location = 0;
    size_t length = 0;
};

using BCNByteRangeBlock = std::function<void(const uint8_t* bytes, BCNRange range, bool* stop)>;

// Calls the block for each contiguous byte range of the data, in order, until
// it sets *stop. Our data objects are contiguous, so a non-empty object is one
// range (0, length); an empty one has no range and the block is not called.
void BCNEnumerateDataByteRanges(const foundation::Data& data, const BCNByteRangeBlock& block);
