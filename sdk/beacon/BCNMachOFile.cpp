#include "sdk/beacon/BCNMachOFile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "sdk/beacon/BCNMachOBytes.h"
#include "sdk/beacon/ElfImage.h"

namespace {

// Smaller files cannot hold even a fat header with one entry.
constexpr off_t kMinimumFileSize = 16;

}  // namespace

bool BCNMachOFileOpen(BCNMachOFile* file, const char* path) {
    if (!file || !path) return false;
    *file = BCNMachOFile{};
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < kMinimumFileSize) {
        ::close(fd);
        return false;
    }
    size_t length = static_cast<size_t>(status.st_size);
    void* base = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) {
        ::close(fd);
        return false;
    }
    file->fd = fd;
    file->size = static_cast<uint64_t>(status.st_size);
    file->mappedBase = base;
    return true;
}

bool BCNMachOFileOpenExecutable(BCNMachOFile* file) {
    BCNMachOSlice image = BCNMachOGetExecutableImage();
    std::optional<std::string> path = BCNMachOImageGetPath(&image);
    if (!path) {
        if (file) *file = BCNMachOFile{};
        return false;
    }
    return BCNMachOFileOpen(file, path->c_str());
}

void BCNMachOFileClose(BCNMachOFile* file) {
    if (!file) return;
    if (file->mappedBase && file->size > 0) ::munmap(const_cast<void*>(file->mappedBase), file->size);
    if (file->fd >= 0) ::close(file->fd);
    *file = BCNMachOFile{};
}

void BCNMachOFileEnumerateSlices(const BCNMachOFile* file, const BCNMachOSliceBlock& block) {
    if (!file || !file->mappedBase) return;
    BCNMachOEnumerateSlices(file->mappedBase, file->size, block);
}

BCNMachOSlice BCNMachOFileSliceForArchitecture(const BCNMachOFile* file, const char* architectureName) {
    BCNMachOSlice found;
    if (!architectureName) return found;
    BCNMachOFileEnumerateSlices(file, [&](BCNMachOSlice slice) {
        if (std::strcmp(BCNMachOSliceGetArchitectureName(&slice), architectureName) == 0) found = slice;
    });
    return found;
}

BCNMachOSlice BCNMachOGetExecutableImage() {
    BCNMachOSlice slice;
    if (std::optional<beacon::LoadedImage> image = beacon::mainProgramImage()) slice.header = image->header;
    beacon::CPUType local = beacon::localCPUType();
    slice.cputype = local.cputype;
    slice.cpusubtype = local.cpusubtype;
    return slice;
}

std::optional<std::string> BCNMachOImageGetPath(const BCNMachOSlice* slice) {
    if (!slice || !slice->header) return std::nullopt;
    std::optional<beacon::LoadedImage> image = beacon::loadedImageWithHeader(slice->header);
    if (!image || image->path.empty()) return std::nullopt;
    return image->path;
}

void BCNMachOSliceGetUnwindSections(const BCNMachOSlice* slice, const void** ehFrame, const void** unwindInfo) {
    if (!slice || !slice->header || !beacon::loadedImageWithHeader(slice->header)) return;
    beacon::macho::ThinHeader thin;
    if (!beacon::macho::readThinHeader(slice->header, slice->size, &thin)) {
        if (ehFrame) {
            if (const void* frames = beacon::loadedImageEhFrame(slice->header)) *ehFrame = frames;
        }
        return;
    }
    // A loaded Mach-O image sits at its __TEXT segment's address plus a slide.
    uint64_t textAddress = 0;
    BCNMachOSlice walked = *slice;
    BCNMachOSliceEnumerateLoadCommands(&walked, [&](uint32_t, uint32_t, const void* command) {
        BCNMachOSegment segment = BCNMachOSegmentCommandGetInfo(command);
        if (std::strncmp(segment.name, "__TEXT", sizeof segment.name) == 0) textAddress = segment.vmAddress;
    });
    const uintptr_t slide = reinterpret_cast<uintptr_t>(slice->header) - static_cast<uintptr_t>(textAddress);
    BCNMachOSection section;
    if (ehFrame && BCNMachOSliceGetSectionInfo(slice, "__TEXT", "__eh_frame", &section))
        *ehFrame = reinterpret_cast<const void*>(static_cast<uintptr_t>(section.address) + slide);
    if (unwindInfo && BCNMachOSliceGetSectionInfo(slice, "__TEXT", "__unwind_info", &section))
        *unwindInfo = reinterpret_cast<const void*>(static_cast<uintptr_t>(section.address) + slide);
}
