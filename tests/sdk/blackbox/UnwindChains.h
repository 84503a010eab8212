#pragma once
// Call chains for the live unwinding tests, each built in its own file with
// its own code generation (optimised, with and without frame pointers), that
// call back at their deepest point. The callback's frames are then walked.

#include <functional>

namespace blackboxtest {

using ChainCallback = void (*)(void* data);

// ChainA -> ChainB -> ChainC -> ChainD -> callback, built -O2 -fomit-frame-pointer.
void chainWithoutFramePointers(ChainCallback callback, void* data);
// The same, built -O2 -fno-omit-frame-pointer.
void chainWithFramePointers(ChainCallback callback, void* data);
// std::sort over a few numbers with a comparator that calls back once (-O2).
void sortCallingBack(ChainCallback callback, void* data);
// depth nested calls, then the callback (-O2, no frame pointers).
void recurseThenCallBack(int depth, ChainCallback callback, void* data);

}  // namespace blackboxtest
