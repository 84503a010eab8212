#pragma once
// One fuzz input through every Mach-O and ELF reader that takes bytes.

#include <cstddef>
#include <cstdint>

namespace beacontest {

void exerciseReaders(const uint8_t* data, size_t size);

}  // namespace beacontest
