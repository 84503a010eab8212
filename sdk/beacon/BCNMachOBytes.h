#pragma once
// Byte-level helpers the Mach-O readers share: unaligned loads in either byte
// order and the facts of a thin header. Internal to sdk/beacon.

#include <cstdint>
#include <cstring>

namespace beacon::macho {

inline uint32_t load32(const uint8_t* p, bool swapped) {
    uint32_t value;
    std::memcpy(&value, p, sizeof value);
    return swapped ? __builtin_bswap32(value) : value;
}

inline uint64_t load64(const uint8_t* p, bool swapped) {
    uint64_t value;
    std::memcpy(&value, p, sizeof value);
    return swapped ? __builtin_bswap64(value) : value;
}

// Big-endian, as fat headers are on disk whatever the host.
inline uint32_t loadBig32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// True when size bytes at offset lie inside a range of limit bytes, without
// overflowing.
inline bool fits(uint64_t offset, uint64_t size, uint64_t limit) {
    return size <= limit && offset <= limit - size;
}

struct ThinHeader {
    bool swapped = false;
    bool is64 = false;
    uint32_t headerSize = 0;
    int32_t cputype = 0;
    int32_t cpusubtype = 0;
    uint32_t filetype = 0;
    uint32_t commandCount = 0;
    uint32_t commandBytes = 0;
};

// The header's facts when the bytes start with a whole Mach-O header.
inline bool readThinHeader(const void* header, uint64_t size, ThinHeader* out) {
    if (!header || size < 4) return false;
    const auto* p = static_cast<const uint8_t*>(header);
    ThinHeader h;
    switch (load32(p, false)) {
        case 0xfeedface: h.headerSize = 28; break;
        case 0xcefaedfe: h.headerSize = 28; h.swapped = true; break;
        case 0xfeedfacf: h.headerSize = 32; h.is64 = true; break;
        case 0xcffaedfe: h.headerSize = 32; h.is64 = true; h.swapped = true; break;
        default: return false;
    }
    if (size < h.headerSize) return false;
    h.cputype = static_cast<int32_t>(load32(p + 4, h.swapped));
    h.cpusubtype = static_cast<int32_t>(load32(p + 8, h.swapped));
    h.filetype = load32(p + 12, h.swapped);
    h.commandCount = load32(p + 16, h.swapped);
    h.commandBytes = load32(p + 20, h.swapped);
    *out = h;
    return true;
}

}  // namespace beacon::macho
