#pragma once
// UUID texts. Plain functions, reentrant, any thread.

#include <cstdint>
#include <string>

// A new random (version 4) UUID in canonical upper-case form with hyphens,
// 36 characters, e.g. "1B4E28BA-2FA1-41D2-883F-0016D3CCA427".
std::string BCNCreateUUIDString();

// The 32 lower-case hex digits of 16 UUID bytes, no hyphens; empty for null.
std::string BCNUUIDHexStringFromBytes(const uint8_t* bytes);
