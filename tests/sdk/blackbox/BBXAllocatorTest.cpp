#include "sdk/blackbox/BBXAllocator.h"

#include <gtest/gtest.h>

#include <cstring>

#include "sdk/blackbox/BBXHost.h"
#include "tests/sdk/blackbox/BlackboxTestSupport.h"

namespace {

using blackboxtest::permissionsAt;
using blackboxtest::signalEndingChild;

bool inMapping(const BBXAllocator* allocator, const void* block) {
    auto address = reinterpret_cast<uintptr_t>(block);
    auto base = reinterpret_cast<uintptr_t>(allocator->base);
    return address >= base && address < base + BBXAllocatorMappingSize(allocator);
}

TEST(BBXAllocator, MapsGuardedRegions) {
    ASSERT_EQ(BBXHostGetPageSize(), 4096u);
    BBXAllocator* allocator = BBXAllocatorCreate(544864, 17080);
    ASSERT_NE(allocator, nullptr);
    const uintptr_t page = 4096;
    auto base = reinterpret_cast<uintptr_t>(allocator->base);
    EXPECT_EQ(BBXAllocatorMappingSize(allocator), 142 * page);
    EXPECT_EQ(allocator->writable.size, 134 * page);
    EXPECT_EQ(allocator->readOnly.size, 5 * page);
    EXPECT_EQ(allocator->writable.start, base + page);
    EXPECT_EQ(allocator->readOnly.start, base + 136 * page);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(allocator), allocator->readOnly.start);
    EXPECT_EQ(allocator->readOnly.cursor, allocator->readOnly.start + 64);

    const uintptr_t guards[] = {base, base + 135 * page, base + 141 * page};
    for (uintptr_t guard : guards) EXPECT_EQ(permissionsAt(guard), "---p") << std::hex << guard - base;
    EXPECT_EQ(permissionsAt(base + page), "rw-p");
    EXPECT_EQ(permissionsAt(base + 136 * page), "rw-p");

    for (uintptr_t guard : guards)
        EXPECT_EQ(signalEndingChild([guard] { *reinterpret_cast<volatile char*>(guard) = 1; }), SIGSEGV);
}

TEST(BBXAllocator, AWholePageMoreEvenForAMultipleOfThePage) {
    BBXAllocator* allocator = BBXAllocatorCreate(4096, 0);
    ASSERT_NE(allocator, nullptr);
    EXPECT_EQ(allocator->writable.size, 2 * 4096u);
    EXPECT_EQ(allocator->readOnly.size, 4096u);
    BBXAllocator* noWritable = BBXAllocatorCreate(0, 100);
    ASSERT_NE(noWritable, nullptr);
    EXPECT_EQ(noWritable->writable.size, 0u);
}

TEST(BBXAllocator, BumpsAlignedBlocksAndFallsBackToTheHeap) {
    BBXAllocator* allocator = BBXAllocatorCreate(8000, 1000);
    ASSERT_NE(allocator, nullptr);
    void* first = BBXAllocatorSafeAllocate(allocator, 3, BBXAllocationWritable);
    void* second = BBXAllocatorSafeAllocate(allocator, 10, BBXAllocationWritable);
    EXPECT_EQ(first, reinterpret_cast<void*>(allocator->writable.start));
    EXPECT_EQ(second, reinterpret_cast<void*>(allocator->writable.start + 16));
    void* readOnly = BBXAllocatorSafeAllocate(allocator, 40, BBXAllocationReadOnly);
    EXPECT_EQ(readOnly, reinterpret_cast<void*>(allocator->readOnly.start + 64));
    EXPECT_EQ(BBXAllocatorSafeAllocate(allocator, 8, 2), nullptr);

    uintptr_t cursor = allocator->writable.cursor;
    void* oversized = BBXAllocatorSafeAllocate(allocator, allocator->writable.size, BBXAllocationWritable);
    ASSERT_NE(oversized, nullptr);
    EXPECT_FALSE(inMapping(allocator, oversized));
    EXPECT_EQ(allocator->writable.cursor, cursor);
    std::memset(oversized, 1, allocator->writable.size);
    BBXAllocatorFree(nullptr, oversized);
    BBXAllocatorFree(allocator, first);  // a block of the mapping is never freed

    void* loose = BBXAllocatorSafeAllocate(nullptr, 32, BBXAllocationWritable);
    EXPECT_NE(loose, nullptr);
    BBXAllocatorFree(nullptr, loose);
}

TEST(BBXAllocator, ProtectionMakesTheReadOnlyRegionReadOnly) {
    BBXAllocator* allocator = BBXAllocatorCreate(8000, 1000);
    ASSERT_NE(allocator, nullptr);
    auto* text = static_cast<char*>(BBXAllocatorSafeAllocate(allocator, 6, BBXAllocationReadOnly));
    auto* counter = static_cast<int*>(BBXAllocatorSafeAllocate(allocator, sizeof(int), BBXAllocationWritable));
    std::memcpy(text, "paths", 6);
    EXPECT_FALSE(BBXAllocatorProtect(reinterpret_cast<BBXAllocator*>(8)));
    EXPECT_TRUE(BBXAllocatorProtect(allocator));
    EXPECT_TRUE(BBXAllocatorProtect(allocator));  // already: still true
    EXPECT_EQ(permissionsAt(allocator->readOnly.start), "r--p");
    EXPECT_STREQ(text, "paths");
    *counter = 5;  // the writable region stays writable

    for (int kind : {BBXAllocationReadOnly, BBXAllocationWritable}) {
        void* block = BBXAllocatorSafeAllocate(allocator, 16, kind);
        EXPECT_FALSE(inMapping(allocator, block));
        BBXAllocatorFree(nullptr, block);
    }
    EXPECT_EQ(signalEndingChild([text] { *const_cast<volatile char*>(text) = 'P'; }), SIGSEGV);
    EXPECT_EQ(signalEndingChild([counter] { *const_cast<volatile int*>(counter) = 6; }), 0);

    EXPECT_TRUE(BBXAllocatorUnprotect(allocator));
    text[0] = 'P';
    EXPECT_STREQ(text, "Paths");
    EXPECT_EQ(permissionsAt(reinterpret_cast<uintptr_t>(allocator->base)), "rw-p");
}

}  // namespace
