#include "sdk/blackbox/BBXAllocator.h"

#include <sys/mman.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "sdk/blackbox/BBXHost.h"
#include "sdk/blackbox/BBXSDKLog.h"

namespace {

constexpr size_t kAlignment = 16;
constexpr size_t kRecordSize = 64;

std::atomic_ref<uintptr_t> cursorOf(BBXAllocatorRegion& region) { return std::atomic_ref<uintptr_t>(region.cursor); }

void* heapBlock(size_t size) { return std::calloc(1, size ? size : 1); }

void* bump(BBXAllocatorRegion& region, size_t size) {
    size_t rounded = (size + kAlignment - 1) / kAlignment * kAlignment;
    auto cursor = cursorOf(region);
    uintptr_t old = cursor.load();
    for (;;) {
        if (old + rounded - region.start > region.size) {
            BBXSDKLog("%s: Unable to allocate sufficient memory, falling back to malloc\n", __func__);
            return heapBlock(size);
        }
        if (cursor.compare_exchange_weak(old, old + rounded)) return reinterpret_cast<void*>(old);
    }
}

bool guard(uintptr_t page, size_t pageSize, const char* failure) {
    if (mprotect(reinterpret_cast<void*>(page), pageSize, PROT_NONE) == 0) return true;
    BBXSDKLog(failure, "BBXAllocatorCreate", strerror(errno));
    return false;
}

}  // namespace

BBXAllocator* BBXAllocatorCreate(size_t writableSize, size_t readOnlySize) {
    size_t page = BBXHostGetPageSize();
    // A whole page more even when a size is already a multiple of the page.
    size_t writableRegion = writableSize ? (writableSize / page + 1) * page : 0;
    size_t readOnlyRegion = ((readOnlySize + kRecordSize) / page + 1) * page;
    size_t total = 3 * page + writableRegion + readOnlyRegion;
    void* mapping = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) {
        BBXSDKLog("%s: Mapping failed %s\n", __func__, strerror(errno));
        return nullptr;
    }
    auto base = reinterpret_cast<uintptr_t>(mapping);
    uintptr_t writableStart = base + page;
    uintptr_t middleGuard = writableStart + writableRegion;
    uintptr_t readOnlyStart = middleGuard + page;
    uintptr_t lastGuard = readOnlyStart + readOnlyRegion;
    BBXSDKLog("%s: Mapping: %p %p %p, total: %zu K\n", __func__, mapping, reinterpret_cast<void*>(writableStart),
              reinterpret_cast<void*>(readOnlyStart), total / 1024);
    if (!guard(base, page, "%s: First guard protection failed %s\n") ||
        !guard(middleGuard, page, "%s: Middle guard protection failed %s\n") ||
        !guard(lastGuard, page, "%s: Last guard protection failed %s\n")) {
        munmap(mapping, total);
        return nullptr;
    }
    auto* allocator = reinterpret_cast<BBXAllocator*>(readOnlyStart);
    *allocator = BBXAllocator{};
    allocator->base = mapping;
    allocator->writable = {writableRegion, writableStart, writableStart};
    allocator->readOnly = {readOnlyRegion, readOnlyStart, readOnlyStart + kRecordSize};
    BBXSDKLog("%s: Allocator successfully created %p\n", __func__, static_cast<void*>(allocator));
    return allocator;
}

void* BBXAllocatorSafeAllocate(BBXAllocator* allocator, size_t size, int kind) {
    if (kind != BBXAllocationReadOnly && kind != BBXAllocationWritable) return nullptr;
    if (!allocator) {
        BBXSDKLog("%s: Allocator invalid, falling back to malloc\n", __func__);
        return heapBlock(size);
    }
    if (std::atomic_ref<uint8_t>(allocator->isProtected).load()) {
        BBXSDKLog("%s: Allocator already protected, falling back to malloc\n", __func__);
        return heapBlock(size);
    }
    return bump(kind == BBXAllocationWritable ? allocator->writable : allocator->readOnly, size);
}

bool BBXAllocatorProtect(BBXAllocator* allocator) {
    if (reinterpret_cast<uintptr_t>(allocator) < 4096) {
        BBXSDKLog("%s: Invalid allocator\n", __func__);
        return false;
    }
    if (allocator->isProtected) {
        BBXSDKLog("%s: Write protection already enabled\n", __func__);
        return true;
    }
    // The flag lives in the region about to be protected: set it first.
    std::atomic_ref<uint8_t>(allocator->isProtected).store(1);
    return mprotect(reinterpret_cast<void*>(allocator->readOnly.start), allocator->readOnly.size, PROT_READ) == 0;
}

bool BBXAllocatorUnprotect(BBXAllocator* allocator) {
    if (reinterpret_cast<uintptr_t>(allocator) < 4096) return false;
    if (mprotect(allocator->base, BBXAllocatorMappingSize(allocator), PROT_READ | PROT_WRITE) != 0) return false;
    std::atomic_ref<uint8_t>(allocator->isProtected).store(0);
    return true;
}

size_t BBXAllocatorMappingSize(const BBXAllocator* allocator) {
    // The last guard page follows the read-only region.
    return allocator->readOnly.start + allocator->readOnly.size + BBXHostGetPageSize() -
           reinterpret_cast<uintptr_t>(allocator->base);
}

void BBXAllocatorFree(BBXAllocator* allocator, void* block) {
    if (!allocator) std::free(block);
}

void BBXAllocatorDestroy(BBXAllocator*) {}
