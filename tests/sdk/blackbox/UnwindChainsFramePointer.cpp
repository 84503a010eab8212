// Built -O2 -fno-omit-frame-pointer (see CMakeLists).
#include "tests/sdk/blackbox/UnwindChains.h"

namespace blackboxtest {

namespace {

__attribute__((noinline)) void FramedD(ChainCallback callback, void* data) {
    callback(data);
    asm volatile("" ::: "memory");
}
__attribute__((noinline)) void FramedC(ChainCallback callback, void* data) {
    FramedD(callback, data);
    asm volatile("" ::: "memory");
}
__attribute__((noinline)) void FramedB(ChainCallback callback, void* data) {
    FramedC(callback, data);
    asm volatile("" ::: "memory");
}

}  // namespace

void chainWithFramePointers(ChainCallback callback, void* data) {
    FramedB(callback, data);
    asm volatile("" ::: "memory");
}

}  // namespace blackboxtest
