#include "sdk/blackbox/BBXBinaryImage.h"

#include <elf.h>
#include <link.h>

#include <cstring>

#include "sdk/beacon/ElfImage.h"
#include "sdk/blackbox/BBXFile.h"

namespace {

// Base, size and the eh_frame_hdr of an image from its program headers, which
// lie in its first segment right after the ELF header.
bool layoutOf(const ElfW(Ehdr)* header, BBXBinaryImageNode* node, intptr_t* slide) {
    if (std::memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 || header->e_phentsize != sizeof(ElfW(Phdr)))
        return false;
    auto* programHeaders = reinterpret_cast<const ElfW(Phdr)*>(reinterpret_cast<const uint8_t*>(header) + header->e_phoff);
    const ElfW(Phdr)* first = nullptr;
    for (ElfW(Half) i = 0; i < header->e_phnum; ++i)
        if (programHeaders[i].p_type == PT_LOAD && programHeaders[i].p_offset == 0) first = &programHeaders[i];
    if (!first) return false;
    uintptr_t bias = reinterpret_cast<uintptr_t>(header) - first->p_vaddr;
    uintptr_t low = UINTPTR_MAX;
    uintptr_t high = 0;
    for (ElfW(Half) i = 0; i < header->e_phnum; ++i) {
        const ElfW(Phdr)& segment = programHeaders[i];
        if (segment.p_type == PT_GNU_EH_FRAME) node->ehFrameHdr = bias + segment.p_vaddr;
        if (segment.p_type != PT_LOAD || (segment.p_flags & PF_W)) continue;
        low = std::min<uintptr_t>(low, segment.p_vaddr);
        high = std::max<uintptr_t>(high, segment.p_vaddr + segment.p_memsz);
    }
    node->base = reinterpret_cast<uintptr_t>(header);
    node->size = high > low ? high - low : 0;
    *slide = static_cast<intptr_t>(bias);
    return true;
}

}  // namespace

bool BBXBinaryImageDetailsForHeader(const void* header, BBXBinaryImageDetails* details) {
    if (!header || !details) return false;
    auto image = beacon::loadedImageWithHeader(header);
    if (!image) return false;
    *details = BBXBinaryImageDetails{};
    if (!layoutOf(static_cast<const ElfW(Ehdr)*>(header), &details->node, &details->slide)) return false;
    details->node.ehFrame = reinterpret_cast<uintptr_t>(beacon::loadedImageEhFrame(header));
    auto identity = beacon::loadedImageIdentity(header);
    if (identity) {
        details->uuid = identity->uuidString();
        details->architecture = identity->architecture;
    }
    return true;
}

bool BBXBinaryImageRecordExecutable(BBXFile* file) {
    if (!BBXFileIsOpen(file)) return false;
    auto program = beacon::mainProgramImage();
    BBXBinaryImageDetails details;
    if (!program || !BBXBinaryImageDetailsForHeader(program->header, &details)) return false;
    BBXFileOpenSection(file, "executable");
    BBXFileBeginObject(file);
    BBXFileWriteNSStringEntry(file, "architecture", details.architecture);
    BBXFileWriteNSStringEntry(file, "uuid", details.uuid);
    BBXFileWriteUnsignedEntry(file, "base", details.node.base);
    BBXFileWriteUnsignedEntry(file, "size", details.node.size);
    BBXFileWriteBoolEntry(file, "encrypted", details.encrypted);
    BBXFileWriteNSStringEntry(file, "minimum_sdk_version", details.minimumSDKVersion);
    BBXFileWriteNSStringEntry(file, "built_sdk_version", details.builtSDKVersion);
    BBXFileEndObject(file);
    BBXFileCloseSection(file);
    return true;
}

// Image tracking. The table in the writable context is read by the crash path
// without locks; everything else here runs in normal context under one mutex.

#include <link.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

#include "platform/dispatch/Queue.h"
#include "sdk/blackbox/BBXContext.h"
#include "sdk/blackbox/BBXSDKLog.h"
#include "sdk/blackbox/BBXUtilities.h"

namespace {

constexpr double kRescanInterval = 2.0;

struct TrackedImage {
    std::string path;
    BBXBinaryImageDetails details;
};

// Never destroyed: libraries' finalisers call dlclose while the process exits.
struct Tracking {
    std::mutex mutex;
    std::map<uintptr_t, TrackedImage> images;  // by base
};
Tracking& tracking() {
    static auto* state = new Tracking;
    return *state;
}
std::atomic<bool> gTracking{false};
std::atomic<unsigned long long> gLoaderCounts{0};

std::atomic_ref<uintptr_t> baseOf(BBXBinaryImageNode& node) { return std::atomic_ref<uintptr_t>(node.base); }

void insertNode(const BBXBinaryImageNode& node) {
    BBXWritableContext* writable = BBXContextGetWritable();
    if (!writable) {
        BBXSDKLog("%s: Error: Writable context is NULL\n", __func__);
        return;
    }
    for (BBXBinaryImageNode& slot : writable->binaryImages) {
        uintptr_t empty = 0;
        if (!baseOf(slot).compare_exchange_strong(empty, node.base)) continue;
        slot.size = node.size;
        slot.ehFrame = node.ehFrame;
        slot.unwindInfo = node.unwindInfo;
        slot.crashInfo = node.crashInfo;
        slot.ehFrameHdr = node.ehFrameHdr;
        return;
    }
    BBXSDKLog("%s: Error: Unable to track a %s node %p\n", __func__, "loaded", reinterpret_cast<void*>(node.base));
}

void removeNode(uintptr_t base) {
    BBXWritableContext* writable = BBXContextGetWritable();
    if (!writable) {
        BBXSDKLog("%s: Error: Writable context is NULL\n", __func__);
        return;
    }
    for (BBXBinaryImageNode& slot : writable->binaryImages) {
        if (baseOf(slot).load() != base) continue;
        uintptr_t expected = base;
        if (!baseOf(slot).compare_exchange_strong(expected, 0)) {
            BBXSDKLog("%s: Error: Failed to swap during image unload\n", __func__);
            return;
        }
        slot.size = slot.ehFrame = slot.unwindInfo = slot.crashInfo = slot.ehFrameHdr = 0;
        return;
    }
    BBXSDKLog("%s: Error: Unable to track a %s node %p\n", __func__, "unloaded", reinterpret_cast<void*>(base));
}

// Writes one "load" or "unload" section on the binary-images queue, opening
// the file for it when it is closed.
void recordEvent(const char* event, const TrackedImage& image) {
    auto queue = BBXContextBinaryImagesQueue();
    if (!queue) return;
    queue->async([event, image] {
        BBXWritableContext* writable = BBXContextGetWritable();
        BBXReadOnlyContext* readOnly = BBXContextGetReadOnly();
        if (!writable || !readOnly) return;
        BBXFile* file = &writable->binaryImageFile;
        bool opened = false;
        if (!BBXFileIsOpen(file)) {
            if (!BBXFileInit(file, readOnly->binaryImagesPath, false)) {
                BBXSDKLog("%s: Error: unable to open binary image log file\n", "BBXBinaryImageRecordEvent");
                return;
            }
            opened = true;
        }
        // Another thread may crash while this one writes, and the process
        // ends with the line as far as it got: it goes out whole or not at all.
        BBXFileWriteWholeSections(file, [&](BBXFile* line) {
            BBXFileOpenSection(line, event);
            BBXFileBeginObject(line);
            BBXFileWriteStringEntry(line, "path", image.path.c_str());
            BBXFileWriteNSStringEntry(line, "uuid", image.details.uuid);
            BBXFileWriteUnsignedEntry(line, "base", image.details.node.base);
            BBXFileWriteUnsignedEntry(line, "size", image.details.node.size);
            BBXFileEndObject(line);
            BBXFileCloseSection(line);
        });
        if (opened) BBXFileClose(file);
    });
}

std::string mainProgramPath() {
    auto program = beacon::mainProgramImage();
    return program ? program->path : std::string();
}

// The loader's list now: ELF header address -> path; and its counts of loads and unloads.
std::map<uintptr_t, std::string> loadedImages(unsigned long long* counts) {
    struct Walk {
        std::map<uintptr_t, std::string> images;
        unsigned long long counts = 0;
        bool first = true;
    } walk;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t size, void* data) -> int {
            auto* walk = static_cast<Walk*>(data);
            if (walk->first && size >= offsetof(dl_phdr_info, dlpi_subs) + sizeof info->dlpi_subs)
                walk->counts = info->dlpi_adds * 1000003ULL + info->dlpi_subs;
            for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& segment = info->dlpi_phdr[i];
                if (segment.p_type != PT_LOAD || segment.p_offset != 0) continue;
                std::string path = walk->first ? std::string() : std::string(info->dlpi_name ? info->dlpi_name : "");
                walk->images.emplace(info->dlpi_addr + segment.p_vaddr, walk->first ? "\x01" : path);
                break;
            }
            walk->first = false;
            return 0;
        },
        &walk);
    if (counts) *counts = walk.counts;
    return walk.images;
}

void rescanLocked() {
    unsigned long long counts = 0;
    std::map<uintptr_t, std::string> now = loadedImages(&counts);
    gLoaderCounts.store(counts);
    for (auto it = tracking().images.begin(); it != tracking().images.end();) {
        if (now.count(it->first)) {
            ++it;
            continue;
        }
        removeNode(it->first);
        recordEvent("unload", it->second);
        it = tracking().images.erase(it);
    }
    for (const auto& [base, name] : now) {
        if (tracking().images.count(base)) continue;
        TrackedImage image;
        image.path = name == "\x01" ? mainProgramPath() : name;
        if (!BBXBinaryImageDetailsForHeader(reinterpret_cast<const void*>(base), &image.details)) continue;
        insertNode(image.details.node);
        recordEvent("load", image);
        tracking().images.emplace(base, std::move(image));
    }
}

void scheduleRescan() {
    auto queue = BBXContextBinaryImagesQueue();
    if (!queue) return;
    dispatch::after(kRescanInterval, queue, [] {
        BBXBinaryImageRescanIfChanged();
        scheduleRescan();
    });
}

}  // namespace

void BBXBinaryImageInit() {
    BBXWritableContext* writable = BBXContextGetWritable();
    BBXReadOnlyContext* readOnly = BBXContextGetReadOnly();
    auto queue = BBXContextBinaryImagesQueue();
    if (!writable || !readOnly || !queue) {
        BBXSDKLog("%s: Error: Writable context is NULL\n", __func__);
        return;
    }
    {
        std::lock_guard lock(tracking().mutex);
        tracking().images.clear();
        for (BBXBinaryImageNode& slot : writable->binaryImages) slot = BBXBinaryImageNode{};
    }
    writable->binaryImageFile = BBXFile{};
    const char* path = readOnly->binaryImagesPath;
    queue->async([path, writable] {
        if (!BBXUnlinkIfExists(path)) BBXSDKLog("%s: Unable to reset the binary image log file %s\n", "BBXBinaryImageInit", path);
        if (!BBXFileInit(&writable->binaryImageFile, path, false))
            BBXSDKLog("%s: Error: Unable to open the binary image log file during init\n", "BBXBinaryImageInit");
    });
    // Libraries' finalisers may call dlclose while the process exits, after
    // the queues are gone: tracking stops first.
    static std::once_flag stopAtExit;
    std::call_once(stopAtExit, [] { std::atexit([] { gTracking.store(false); }); });
    {
        std::lock_guard lock(tracking().mutex);
        gTracking.store(true);
        rescanLocked();
    }
    queue->async([writable] { BBXFileClose(&writable->binaryImageFile); });
    static std::atomic<bool> rescanning{false};
    if (!rescanning.exchange(true)) scheduleRescan();
}

void BBXBinaryImageRescan() {
    if (!gTracking.load()) return;
    std::lock_guard lock(tracking().mutex);
    rescanLocked();
}

void BBXBinaryImageRescanIfChanged() {
    if (!gTracking.load()) return;
    unsigned long long counts = 0;
    loadedImages(&counts);
    if (counts != gLoaderCounts.load()) BBXBinaryImageRescan();
}

bool BBXBinaryImageSafeFindImageForAddress(uintptr_t address, BBXBinaryImageNode* node) {
    if (!BBXContextIsInitialized() || !node) return false;
    BBXWritableContext* writable = BBXContextGetWritable();
    for (BBXBinaryImageNode& slot : writable->binaryImages) {
        uintptr_t base = baseOf(slot).load();
        if (base == 0 || address < base || address - base >= slot.size) continue;
        *node = slot;
        node->base = base;
        return true;
    }
    return false;
}

bool BBXBinaryImageHasUnwindInfo(const BBXBinaryImageNode* node) { return node && node->unwindInfo != 0; }

bool BBXBinaryImageFindImageForUUID(const char* uuid, BBXBinaryImageDetails* details) {
    if (!uuid || !details) {
        BBXSDKLog("%s: null input\n", __func__);
        return false;
    }
    std::lock_guard lock(tracking().mutex);
    for (const auto& [base, image] : tracking().images) {
        if (image.details.uuid && std::strncmp(image.details.uuid->c_str(), uuid, 33) == 0) {
            *details = image.details;
            return true;
        }
    }
    return false;
}

#include "sdk/beacon/BCNMachO.h"

namespace {

constexpr uint32_t kEncryptionInfo32 = 0x21;  // the 64-bit form (0x2c) is not read, as it never was

uintptr_t sectionAddress(const BCNMachOSlice* slice, const char* segment, const char* name, intptr_t slide) {
    BCNMachOSection section;
    if (!BCNMachOSliceGetSectionInfo(slice, segment, name, &section)) return 0;
    return static_cast<uintptr_t>(section.address + slide);
}

}  // namespace

bool BBXBinaryImageDetailsFromMachOSlice(BCNMachOSlice* slice, intptr_t slide, BBXBinaryImageDetails* details) {
    if (!slice || !details || !BCNMachOSliceGetHeader(slice)) return false;
    *details = BBXBinaryImageDetails{};
    BCNMachOVersion minimum, built;
    BCNMachOSliceEnumerateLoadCommands(slice, [&](uint32_t cmd, uint32_t, const void* command) {
        switch (cmd) {
            case kBCNMachOLoadCommandUUID:
                details->uuid = BCNMachOUUIDString(BCNMachOUUIDCommandGetUUID(command));
                break;
            case kEncryptionInfo32:
                details->encrypted = BCNMachOEncryptionCommandIsEncrypted(command);
                break;
            case kBCNMachOLoadCommandVersionMinMacOSX:
                minimum = BCNMachOVersionMinCommandGetMinimumVersion(command);
                built = BCNMachOVersionMinCommandGetSDKVersion(command);
                break;
            case kBCNMachOLoadCommandSegment:
            case kBCNMachOLoadCommandSegment64: {
                BCNMachOSegment segment = BCNMachOSegmentCommandGetInfo(command);
                if (std::strncmp(segment.name, "__TEXT", sizeof segment.name) == 0) details->node.size = segment.vmSize;
                break;
            }
            default:
                break;
        }
    });
    details->minimumSDKVersion = BCNMachOVersionString(&minimum).value_or("0.0.0");
    details->builtSDKVersion = BCNMachOVersionString(&built).value_or("0.0.0");
    details->architecture = BCNMachOSliceGetArchitectureName(slice);
    details->node.base = reinterpret_cast<uintptr_t>(BCNMachOSliceGetHeader(slice));
    details->node.ehFrame = sectionAddress(slice, "__TEXT", "__eh_frame", slide);
    details->node.unwindInfo = sectionAddress(slice, "__TEXT", "__unwind_info", slide);
    details->node.crashInfo = sectionAddress(slice, "__DATA", "__crash_info", slide);
    details->slide = slide;
    return true;
}
