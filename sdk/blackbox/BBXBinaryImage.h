#pragma once
// Loaded binary images as the capture core sees them: the fixed table of
// nodes in the writable context that the crash path searches without locks,
// and the details of one image (UUID, sizes, unwind sections) read from its
// headers outside a crash.
//
// On Linux an image is an ELF object mapped by the dynamic loader: its base
// is the mapped ELF header, its size the span of its non-writable PT_LOAD
// segments (code and read-only data, what the "__TEXT" segment holds), its
// UUID the first 16 bytes of the GNU build-id. Nothing here is encrypted and
// no SDK version is recorded, so those read false and "0.0.0".

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

struct BBXFile;

inline constexpr int kBBXBinaryImageSlotCount = 512;

struct BBXBinaryImageNode {
    uintptr_t base = 0;  // 0: an empty slot; published by compare-and-swap
    uint64_t size = 0;
    uintptr_t ehFrame = 0;
    uintptr_t unwindInfo = 0;  // always 0 here: no compact unwind tables
    uintptr_t crashInfo = 0;   // always 0 here: ELF images carry no crash-info section
    uintptr_t ehFrameHdr = 0;  // the .eh_frame_hdr search table
};

struct BBXBinaryImageDetails {
    std::optional<std::string> uuid;  // 32 lower-case hex digits; none without a build-id
    bool encrypted = false;
    std::string minimumSDKVersion = "0.0.0";
    std::string builtSDKVersion = "0.0.0";
    std::string architecture;
    BBXBinaryImageNode node;
    intptr_t slide = 0;
};

// The details of the loaded image whose ELF header is at header; false when
// no loaded image starts there.
bool BBXBinaryImageDetailsForHeader(const void* header, BBXBinaryImageDetails* details);

// The Mach-O form of the details, from a slice's load commands: UUID, the
// encrypted flag (from the 32-bit encryption command only), the versions of
// the minimum-version command, the "__TEXT" segment's size, and the
// "__eh_frame", "__unwind_info" and "__crash_info" sections moved by slide.
// Nothing here loads Mach-O images; it is kept for reading them.
struct BCNMachOSlice;
bool BBXBinaryImageDetailsFromMachOSlice(BCNMachOSlice* slice, intptr_t slide, BBXBinaryImageDetails* details);

// Starts tracking loaded images (run by context set-up): clears the table and
// "binary_images.bbxrecord", then adds every image loaded now, writing a
// "load" section for each on the binary-images queue. Later loads and unloads
// reach the table through the dlopen/dlclose wrappers (BBXImageLoaderHooks)
// before those calls return; loads glibc makes on its own (NSS, gconv) bypass
// them and are found by a rescan on the binary-images queue every 2 s that
// runs only when the loader's counts of loads and unloads changed.
void BBXBinaryImageInit();
// Brings the table up to date with the loader's list now (any thread but the
// crash path); BBXBinaryImageRescanIfChanged only when the loader's counts moved.
void BBXBinaryImageRescan();
void BBXBinaryImageRescanIfChanged();

// Crash path: the first slot whose image holds address; false without an
// initialised context or when no slot does.
bool BBXBinaryImageSafeFindImageForAddress(uintptr_t address, BBXBinaryImageNode* node);
bool BBXBinaryImageHasUnwindInfo(const BBXBinaryImageNode* node);
// The details of the tracked image with this UUID (first 32 hex digits).
bool BBXBinaryImageFindImageForUUID(const char* uuid, BBXBinaryImageDetails* details);

// Writes the "executable" section of the metadata file for the running
// program; false (logged by the caller) when its image cannot be read.
bool BBXBinaryImageRecordExecutable(BBXFile* file);
