#pragma once
// The guarded allocator: one private anonymous mapping laid out as guard page,
// writable region, guard page, read-only region, guard page. Blocks are bumped
// off a region's cursor with a compare-and-swap and never freed; once the
// allocator is protected the read-only region can no longer be written. When
// a region is full, the allocator is missing or already protected, a block
// comes from the heap instead (logged in "sdk.log").
//
// Allocation is lock-free and async-signal-safe as long as it does not fall
// back to the heap. Any thread.

#include <cstddef>
#include <cstdint>

struct BBXAllocatorRegion {
    size_t size = 0;
    uintptr_t start = 0;
    uintptr_t cursor = 0;  // only through atomic operations
};

struct BBXAllocator {
    void* base = nullptr;
    uint8_t isProtected = 0;
    BBXAllocatorRegion writable;
    BBXAllocatorRegion readOnly;
};
static_assert(sizeof(BBXAllocator) <= 64, "the allocator record is the first 64 bytes of the read-only region");

enum BBXAllocationKind : int {
    BBXAllocationReadOnly = 0,
    BBXAllocationWritable = 1,
};

// Null when the mapping or a guard fails.
BBXAllocator* BBXAllocatorCreate(size_t writableSize, size_t readOnlySize);
// A block of size bytes (rounded up to 16, so records placed there are
// aligned) from the region of kind; null for an unknown kind.
void* BBXAllocatorSafeAllocate(BBXAllocator* allocator, size_t size, int kind);
bool BBXAllocatorProtect(BBXAllocator* allocator);
bool BBXAllocatorUnprotect(BBXAllocator* allocator);
// The whole mapping's size, the three guard pages included.
size_t BBXAllocatorMappingSize(const BBXAllocator* allocator);
// Frees a heap block; blocks of an allocator's regions are never freed.
void BBXAllocatorFree(BBXAllocator* allocator, void* block);
// Nothing: the mapping lives as long as the process.
void BBXAllocatorDestroy(BBXAllocator* allocator);
