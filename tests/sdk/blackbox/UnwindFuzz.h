#pragma once
// The unwinder's table readers over arbitrary bytes, for the seeded mutation
// test and the libFuzzer target. An input is an 8-byte header (FDE offset and
// search-table offset, 16 bits each, then a PC offset, 32 bits) and a blob
// that serves at once as compact unwind table, .eh_frame, .eh_frame_hdr and
// DWARF expression. The blob is mapped between two unreadable pages, so a
// read past its end is a refused read, and every reader must take it calmly.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace blackboxtest {

// What the input got through, as bits: 1 compact lookup, 2 compact step,
// 4 FDE parsed, 8 DWARF step, 16 expression, 32 search-table step.
int exerciseUnwindTables(const uint8_t* data, size_t size);

// An input: the header, then blob.
std::vector<uint8_t> unwindFuzzInput(uint16_t fdeOffset, uint16_t headerOffset, uint32_t pcOffset,
                                     const std::vector<uint8_t>& blob);

}  // namespace blackboxtest
