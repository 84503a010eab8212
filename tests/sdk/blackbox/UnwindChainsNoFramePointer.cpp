// Built -O2 -fomit-frame-pointer (see CMakeLists): frames known only from DWARF.
#include <algorithm>
#include <vector>

#include "tests/sdk/blackbox/UnwindChains.h"

namespace blackboxtest {

namespace {

// Each level is its own frame: never inlined, never a tail call.
__attribute__((noinline)) void ChainD(ChainCallback callback, void* data) {
    callback(data);
    asm volatile("" ::: "memory");
}
__attribute__((noinline)) void ChainC(ChainCallback callback, void* data) {
    ChainD(callback, data);
    asm volatile("" ::: "memory");
}
__attribute__((noinline)) void ChainB(ChainCallback callback, void* data) {
    ChainC(callback, data);
    asm volatile("" ::: "memory");
}

__attribute__((noinline)) void recurse(int depth, ChainCallback callback, void* data) {
    if (depth <= 1) callback(data);
    else recurse(depth - 1, callback, data);
    asm volatile("" ::: "memory");
}

}  // namespace

void chainWithoutFramePointers(ChainCallback callback, void* data) {
    ChainB(callback, data);
    asm volatile("" ::: "memory");
}

void sortCallingBack(ChainCallback callback, void* data) {
    std::vector<int> numbers = {5, 3, 9, 1, 7, 2, 8, 6, 4, 0, 11, 10, 13, 12, 15, 14, 17, 16, 19, 18};
    bool called = false;
    std::sort(numbers.begin(), numbers.end(), [&](int a, int b) {
        if (!called) {
            called = true;
            callback(data);
        }
        return a < b;
    });
    asm volatile("" ::: "memory");
}

void recurseThenCallBack(int depth, ChainCallback callback, void* data) {
    recurse(depth, callback, data);
    asm volatile("" ::: "memory");
}

}  // namespace blackboxtest
