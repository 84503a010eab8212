#pragma once
// Reading Mach-O images in place: architecture slices of thin and fat files,
// load commands, sections, UUIDs and versions. Plain functions with no state;
// reentrant, any thread.
//
// Every walk is bounded. A slice carries the number of bytes known to follow
// its header (the mapped file's, or the fat entry's); offsets and counts that
// reach past them end the walk. A slice of a loaded image has no known size
// and is bounded by its header's own size of commands. Fields are read in the
// byte order of the structure that holds them: fat headers big-endian, thin
// headers and their commands in the order their magic shows.
//
// The files and images themselves (open, map, the running program) are in
// BCNMachOFile.h.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

inline constexpr uint32_t kBCNMachOMagic32 = 0xfeedface;
inline constexpr uint32_t kBCNMachOMagic64 = 0xfeedfacf;
inline constexpr uint32_t kBCNMachOMagic32Swapped = 0xcefaedfe;
inline constexpr uint32_t kBCNMachOMagic64Swapped = 0xcffaedfe;
inline constexpr uint32_t kBCNMachOFatMagic = 0xcafebabe;
inline constexpr uint32_t kBCNMachOHeaderSize32 = 28;
inline constexpr uint32_t kBCNMachOHeaderSize64 = 32;

inline constexpr uint32_t kBCNMachOLoadCommandSegment = 1;           // LC_SEGMENT
inline constexpr uint32_t kBCNMachOLoadCommandSegment64 = 25;        // LC_SEGMENT_64
inline constexpr uint32_t kBCNMachOLoadCommandUUID = 27;             // LC_UUID
inline constexpr uint32_t kBCNMachOLoadCommandVersionMinMacOSX = 36; // LC_VERSION_MIN_MACOSX
inline constexpr uint32_t kBCNMachOLoadCommandVersionMinIPhoneOS = 37;

// The cputype flag of 64-bit architectures.
inline constexpr int32_t kBCNMachOCPUArchABI64 = 0x01000000;

// The size of a slice whose bytes are not counted (a loaded image).
inline constexpr uint64_t kBCNMachOUnknownSize = UINT64_MAX;

// One architecture of a Mach-O file or image. An empty slice has no header.
struct BCNMachOSlice {
    const void* header = nullptr;
    int32_t cputype = 0;
    int32_t cpusubtype = 0;
    // Bytes readable from the header on.
    uint64_t size = kBCNMachOUnknownSize;
};

struct BCNMachOSection {
    uint64_t address = 0;
    uint64_t size = 0;
    uint32_t offset = 0;  // from the slice's header
};

struct BCNMachOSegment {
    char name[16] = {};  // as in the command: not NUL-terminated when 16 long
    uint64_t vmAddress = 0;
    uint64_t vmSize = 0;
};

struct BCNMachOVersion {
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t patch = 0;

    bool operator==(const BCNMachOVersion&) const = default;
};

using BCNMachOSliceBlock = std::function<void(BCNMachOSlice slice)>;
// cmd and cmdsize in host order; the command lies wholly inside the slice and
// is at least as long as the fixed part of its kind, so the accessors below
// may read it.
using BCNMachOLoadCommandBlock = std::function<void(uint32_t cmd, uint32_t cmdsize, const void* command)>;

// Calls the block for each architecture of a thin or fat image. A fat file
// gives its entries in file order; an entry whose bytes do not lie inside the
// size, or that does not start with a whole Mach-O header, is passed over (so
// a Java class file, which shares the fat magic, gives none). A table of
// entries longer than the size gives none. Anything else gives one slice for
// the header itself, with its cputype and cpusubtype when it is a whole
// Mach-O header and zeros otherwise.
void BCNMachOEnumerateSlices(const void* header, uint64_t size, const BCNMachOSliceBlock& block);
// The same for a loaded image, whose size is not known.
void BCNMachOEnumerateSlices(const void* header, const BCNMachOSliceBlock& block);

// "x86_64", "arm64", "armv7s", ...; "unknown" for a pair without a name.
const char* BCNMachOSliceGetArchitectureName(const BCNMachOSlice* slice);

// Sets the slice's cputype and cpusubtype from its header, then calls the block
// for each load command. A command shorter than 8 bytes or than its kind's
// fixed part, or one reaching past the commands' area or the slice, ends the
// walk. Not a Mach-O header: nothing.
void BCNMachOSliceEnumerateLoadCommands(BCNMachOSlice* slice, const BCNMachOLoadCommandBlock& block);

const void* BCNMachOSliceGetHeader(const BCNMachOSlice* slice);
bool BCNMachOSliceIs64Bit(const BCNMachOSlice* slice);

// The named section of the slice's segments (LC_SEGMENT_64 for a 64-bit slice,
// LC_SEGMENT otherwise). False when absent or the slice is empty.
bool BCNMachOSliceGetSectionInfo(const BCNMachOSlice* slice, const char* segmentName, const char* sectionName,
                                 BCNMachOSection* section);
// The address of the named section's bytes in the slice (header + file
// offset). False when absent, or when those bytes lie outside the slice.
bool BCNMachOSliceGetSectionData(const BCNMachOSlice* slice, const char* segmentName, const char* sectionName,
                                 const void** data);

// Accessors of one load command as the walk hands it over. Each reads the
// command in the byte order its command word shows.
const uint8_t* BCNMachOUUIDCommandGetUUID(const void* command);
// The install name of a dylib command; null when it does not end inside the command.
const char* BCNMachODylibCommandGetName(const void* command);
bool BCNMachOEncryptionCommandIsEncrypted(const void* command);
BCNMachOVersion BCNMachOVersionMinCommandGetMinimumVersion(const void* command);
BCNMachOVersion BCNMachOVersionMinCommandGetSDKVersion(const void* command);
// Name, vm address and vm size of a segment command (32-bit values widened);
// all zero for any other command or none.
BCNMachOSegment BCNMachOSegmentCommandGetInfo(const void* command);

// 32 lower-case hex digits of 16 UUID bytes; nullopt for none.
std::optional<std::string> BCNMachOUUIDString(const uint8_t* uuid);
// "major.minor.patch"; nullopt for none.
std::optional<std::string> BCNMachOVersionString(const BCNMachOVersion* version);
