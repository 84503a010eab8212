#include "sdk/beacon/BCNMachO.h"

#include <algorithm>
#include <cstring>

#include "platform/foundation/Format.h"
#include "sdk/beacon/BCNMachOBytes.h"
#include "sdk/beacon/BCNUUID.h"

using beacon::macho::fits;
using beacon::macho::load32;
using beacon::macho::load64;
using beacon::macho::loadBig32;
using beacon::macho::readThinHeader;
using beacon::macho::ThinHeader;

namespace {

constexpr uint32_t kFatHeaderSize = 8;
constexpr uint32_t kFatEntrySize = 20;
constexpr uint32_t kLoadCommandMinimum = 8;

constexpr uint32_t kSegment32CommandSize = 56;
constexpr uint32_t kSegment64CommandSize = 72;
constexpr uint32_t kSection32Size = 68;
constexpr uint32_t kSection64Size = 80;
constexpr uint32_t kMachOObjectFile = 1;  // MH_OBJECT: one unnamed segment holds every section

constexpr uint32_t kEncryptionInfo = 0x21;
constexpr uint32_t kEncryptionInfo64 = 0x2c;
constexpr uint32_t kVersionMinTVOS = 0x2f;
constexpr uint32_t kVersionMinWatchOS = 0x30;
constexpr uint32_t kRequiredByLoader = 0x80000000;
constexpr uint32_t kDylibCommands[] = {
    0x0c,                      // LC_LOAD_DYLIB
    0x0d,                      // LC_ID_DYLIB
    0x18 | kRequiredByLoader,  // LC_LOAD_WEAK_DYLIB
    0x1f | kRequiredByLoader,  // LC_REEXPORT_DYLIB
    0x20,                      // LC_LAZY_LOAD_DYLIB
    0x23 | kRequiredByLoader,  // LC_LOAD_UPWARD_DYLIB
};

bool isDylibCommand(uint32_t cmd) {
    for (uint32_t known : kDylibCommands)
        if (cmd == known) return true;
    return false;
}

bool isVersionMinCommand(uint32_t cmd) {
    return cmd == kBCNMachOLoadCommandVersionMinMacOSX || cmd == kBCNMachOLoadCommandVersionMinIPhoneOS ||
           cmd == kVersionMinTVOS || cmd == kVersionMinWatchOS;
}

// The fixed part of a command of this kind, which the accessors read. A
// command shorter than that is malformed and ends the walk.
uint32_t minimumCommandSize(uint32_t cmd) {
    switch (cmd) {
        case kBCNMachOLoadCommandSegment: return kSegment32CommandSize;
        case kBCNMachOLoadCommandSegment64: return kSegment64CommandSize;
        case kBCNMachOLoadCommandUUID: return 24;
        case kEncryptionInfo: return 20;
        case kEncryptionInfo64: return 24;
        default: break;
    }
    if (isVersionMinCommand(cmd)) return 16;
    if (isDylibCommand(cmd)) return 24;
    return kLoadCommandMinimum;
}

// Whether a command's fields are byte-swapped: its command word reads as one
// of the expected kinds only after swapping.
bool commandIsSwapped(const uint8_t* command, bool (*isKind)(uint32_t)) {
    uint32_t raw = load32(command, false);
    return !isKind(raw) && isKind(__builtin_bswap32(raw));
}

// Whether the command is at least length bytes long, read in either byte
// order. The walk guarantees its own reading of cmdsize; an accessor that
// guesses the order from the command word alone may guess otherwise, and the
// smaller of the two readings is within the walk's.
uint32_t readableCommandSize(const uint8_t* command) {
    uint32_t size = load32(command + 4, false);
    return std::min(size, __builtin_bswap32(size));
}

bool commandHolds(const uint8_t* command, uint32_t length) {
    return readableCommandSize(command) >= length;
}

// Walks the load commands of a whole thin header. The commands' area is the
// header's own size of commands, cut to the slice's bytes.
template <class Visit>
void walkLoadCommands(const uint8_t* header, uint64_t size, const ThinHeader& thin, Visit&& visit) {
    uint64_t area = thin.commandBytes;
    if (size != kBCNMachOUnknownSize) area = std::min<uint64_t>(area, size - thin.headerSize);
    const uint8_t* commands = header + thin.headerSize;
    uint64_t offset = 0;
    for (uint32_t i = 0; i < thin.commandCount; ++i) {
        if (!fits(offset, kLoadCommandMinimum, area)) return;
        uint32_t cmd = load32(commands + offset, thin.swapped);
        uint32_t cmdsize = load32(commands + offset + 4, thin.swapped);
        if (cmdsize < minimumCommandSize(cmd) || !fits(offset, cmdsize, area)) return;
        visit(cmd, cmdsize, commands + offset);
        offset += cmdsize;
    }
}

bool nameEquals(const uint8_t* field, const char* name) {
    return std::strncmp(reinterpret_cast<const char*>(field), name, 16) == 0;
}

}  // namespace

void BCNMachOEnumerateSlices(const void* header, uint64_t size, const BCNMachOSliceBlock& block) {
    if (!header || !block || size < 4) return;
    const auto* bytes = static_cast<const uint8_t*>(header);
    uint32_t magic = load32(bytes, false);
    if (magic != kBCNMachOFatMagic && magic != __builtin_bswap32(kBCNMachOFatMagic)) {
        BCNMachOSlice slice{header, 0, 0, size};
        ThinHeader thin;
        if (readThinHeader(header, size, &thin)) {
            slice.cputype = thin.cputype;
            slice.cpusubtype = thin.cpusubtype;
        }
        block(slice);
        return;
    }
    // The fat header and its entries are big-endian on disk, whatever the host.
    if (size < kFatHeaderSize) return;
    uint32_t count = loadBig32(bytes + 4);
    if (!fits(kFatHeaderSize, uint64_t(count) * kFatEntrySize, size)) return;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* entry = bytes + kFatHeaderSize + uint64_t(i) * kFatEntrySize;
        uint32_t offset = loadBig32(entry + 8);
        uint32_t length = loadBig32(entry + 12);
        if (!fits(offset, length, size)) continue;
        ThinHeader thin;
        if (!readThinHeader(bytes + offset, length, &thin)) continue;
        block(BCNMachOSlice{bytes + offset, static_cast<int32_t>(loadBig32(entry)),
                            static_cast<int32_t>(loadBig32(entry + 4)), length});
    }
}

void BCNMachOEnumerateSlices(const void* header, const BCNMachOSliceBlock& block) {
    BCNMachOEnumerateSlices(header, kBCNMachOUnknownSize, block);
}

void BCNMachOSliceEnumerateLoadCommands(BCNMachOSlice* slice, const BCNMachOLoadCommandBlock& block) {
    ThinHeader thin;
    if (!slice || !block || !readThinHeader(slice->header, slice->size, &thin)) return;
    slice->cputype = thin.cputype;
    slice->cpusubtype = thin.cpusubtype;
    walkLoadCommands(static_cast<const uint8_t*>(slice->header), slice->size, thin,
                     [&](uint32_t cmd, uint32_t cmdsize, const uint8_t* command) { block(cmd, cmdsize, command); });
}

const void* BCNMachOSliceGetHeader(const BCNMachOSlice* slice) {
    return slice ? slice->header : nullptr;
}

bool BCNMachOSliceIs64Bit(const BCNMachOSlice* slice) {
    return slice && (slice->cputype & kBCNMachOCPUArchABI64) != 0;
}

bool BCNMachOSliceGetSectionInfo(const BCNMachOSlice* slice, const char* segmentName, const char* sectionName,
                                 BCNMachOSection* section) {
    ThinHeader thin;
    if (!slice || !segmentName || !sectionName || !readThinHeader(slice->header, slice->size, &thin)) return false;
    const bool is64 = BCNMachOSliceIs64Bit(slice);
    const uint32_t segmentKind = is64 ? kBCNMachOLoadCommandSegment64 : kBCNMachOLoadCommandSegment;
    const uint32_t headerSize = is64 ? kSegment64CommandSize : kSegment32CommandSize;
    const uint32_t entrySize = is64 ? kSection64Size : kSection32Size;
    bool found = false;
    walkLoadCommands(static_cast<const uint8_t*>(slice->header), slice->size, thin,
                     [&](uint32_t cmd, uint32_t cmdsize, const uint8_t* command) {
        if (found || cmd != segmentKind) return;
        if (thin.filetype != kMachOObjectFile && !nameEquals(command + 8, segmentName)) return;
        uint32_t count = load32(command + headerSize - 8, thin.swapped);
        if (!fits(headerSize, uint64_t(count) * entrySize, cmdsize)) return;
        for (uint32_t i = 0; i < count; ++i) {
            const uint8_t* entry = command + headerSize + uint64_t(i) * entrySize;
            if (!nameEquals(entry, sectionName) || !nameEquals(entry + 16, segmentName)) continue;
            if (section) {
                if (is64) {
                    section->address = load64(entry + 32, thin.swapped);
                    section->size = load64(entry + 40, thin.swapped);
                    section->offset = load32(entry + 48, thin.swapped);
                } else {
                    section->address = load32(entry + 32, thin.swapped);
                    section->size = load32(entry + 36, thin.swapped);
                    section->offset = load32(entry + 40, thin.swapped);
                }
            }
            found = true;
            return;
        }
    });
    return found;
}

bool BCNMachOSliceGetSectionData(const BCNMachOSlice* slice, const char* segmentName, const char* sectionName,
                                 const void** data) {
    BCNMachOSection section;
    if (!BCNMachOSliceGetSectionInfo(slice, segmentName, sectionName, &section)) return false;
    if (!fits(section.offset, section.size, slice->size)) return false;
    if (data) *data = static_cast<const uint8_t*>(slice->header) + section.offset;
    return true;
}

const uint8_t* BCNMachOUUIDCommandGetUUID(const void* command) {
    if (!command || !commandHolds(static_cast<const uint8_t*>(command), 24)) return nullptr;
    return static_cast<const uint8_t*>(command) + 8;
}

const char* BCNMachODylibCommandGetName(const void* command) {
    if (!command || !commandHolds(static_cast<const uint8_t*>(command), 24)) return nullptr;
    const auto* bytes = static_cast<const uint8_t*>(command);
    bool swapped = commandIsSwapped(bytes, isDylibCommand);
    uint32_t cmdsize = readableCommandSize(bytes);
    uint32_t nameOffset = load32(bytes + 8, swapped);
    if (nameOffset >= cmdsize) return nullptr;
    if (!std::memchr(bytes + nameOffset, '\0', cmdsize - nameOffset)) return nullptr;
    return reinterpret_cast<const char*>(bytes + nameOffset);
}

bool BCNMachOEncryptionCommandIsEncrypted(const void* command) {
    if (!command || !commandHolds(static_cast<const uint8_t*>(command), 20)) return false;
    const auto* bytes = static_cast<const uint8_t*>(command);
    auto isEncryption = [](uint32_t cmd) { return cmd == kEncryptionInfo || cmd == kEncryptionInfo64; };
    return load32(bytes + 16, commandIsSwapped(bytes, isEncryption)) != 0;
}

BCNMachOVersion BCNMachOVersionMinCommandGetMinimumVersion(const void* command) {
    if (!command || !commandHolds(static_cast<const uint8_t*>(command), 16)) return {};
    const auto* bytes = static_cast<const uint8_t*>(command);
    uint32_t word = load32(bytes + 8, commandIsSwapped(bytes, isVersionMinCommand));
    return BCNMachOVersion{word >> 16, (word >> 8) & 0xff, word & 0xff};
}

BCNMachOVersion BCNMachOVersionMinCommandGetSDKVersion(const void* command) {
    if (!command || !commandHolds(static_cast<const uint8_t*>(command), 16)) return {};
    const auto* bytes = static_cast<const uint8_t*>(command);
    uint32_t word = load32(bytes + 12, commandIsSwapped(bytes, isVersionMinCommand));
    return BCNMachOVersion{word >> 16, (word >> 8) & 0xff, word & 0xff};
}

BCNMachOSegment BCNMachOSegmentCommandGetInfo(const void* command) {
    BCNMachOSegment segment;
    if (!command) return segment;
    const auto* bytes = static_cast<const uint8_t*>(command);
    auto isSegment = [](uint32_t cmd) {
        return cmd == kBCNMachOLoadCommandSegment || cmd == kBCNMachOLoadCommandSegment64;
    };
    bool swapped = commandIsSwapped(bytes, isSegment);
    uint32_t cmd = load32(bytes, swapped);
    if (!isSegment(cmd) || !commandHolds(bytes, cmd == kBCNMachOLoadCommandSegment64 ? kSegment64CommandSize
                                                                                    : kSegment32CommandSize))
        return segment;
    std::memcpy(segment.name, bytes + 8, sizeof segment.name);
    if (cmd == kBCNMachOLoadCommandSegment64) {
        segment.vmAddress = load64(bytes + 24, swapped);
        segment.vmSize = load64(bytes + 32, swapped);
    } else {
        segment.vmAddress = load32(bytes + 24, swapped);
        segment.vmSize = load32(bytes + 28, swapped);
    }
    return segment;
}

std::optional<std::string> BCNMachOUUIDString(const uint8_t* uuid) {
    if (!uuid) return std::nullopt;
    return BCNUUIDHexStringFromBytes(uuid);
}

std::optional<std::string> BCNMachOVersionString(const BCNMachOVersion* version) {
    if (!version) return std::nullopt;
    return foundation::format("%u.%u.%u", version->major, version->minor, version->patch);
}
