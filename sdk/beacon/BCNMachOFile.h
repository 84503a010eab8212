#pragma once
// Mach-O files mapped from disk, and the running program's image. Plain
// functions, reentrant, any thread; a record is used by one thread at a time.
//
// On Linux the running program and its libraries are ELF images: the image
// functions answer with their ELF headers (see ElfImage.h), and the Mach-O
// walks of BCNMachO.h find no Mach-O header in them.

#include <cstdint>
#include <optional>
#include <string>

#include "sdk/beacon/BCNMachO.h"

// One open file: descriptor (negative when not open), byte length and the
// read-only shared mapping of the whole file.
struct BCNMachOFile {
    int32_t fd = -1;
    uint64_t size = 0;
    const void* mappedBase = nullptr;
};

// Clears the record and opens the path: a regular file of at least 16 bytes,
// mapped whole. Opening never blocks, so a FIFO or a device in the path's
// place fails at once. Every failure leaves nothing open.
bool BCNMachOFileOpen(BCNMachOFile* file, const char* path);
// BCNMachOFileOpen on the file of the running program's image.
bool BCNMachOFileOpenExecutable(BCNMachOFile* file);
// Unmaps and closes; the record is left cleared.
void BCNMachOFileClose(BCNMachOFile* file);

// The slices of the mapped file, bounded by its size.
void BCNMachOFileEnumerateSlices(const BCNMachOFile* file, const BCNMachOSliceBlock& block);
// The slice named so (the last one when several are); an empty slice when none.
BCNMachOSlice BCNMachOFileSliceForArchitecture(const BCNMachOFile* file, const char* architectureName);

// The running program's image: its header address, with the cputype and
// cpusubtype of the local architecture (zeros where it has no name).
BCNMachOSlice BCNMachOGetExecutableImage();
// The file of the loaded image whose header is at the slice's header; nullopt
// when no image is loaded there or the slice is empty.
std::optional<std::string> BCNMachOImageGetPath(const BCNMachOSlice* slice);
// For a slice that is a loaded image: the addresses of its __TEXT,__eh_frame
// and __TEXT,__unwind_info, each only when asked for and present. A loaded
// ELF image gives its .eh_frame and has no unwind info. Nothing when the
// header is no loaded image.
void BCNMachOSliceGetUnwindSections(const BCNMachOSlice* slice, const void** ehFrame, const void** unwindInfo);
