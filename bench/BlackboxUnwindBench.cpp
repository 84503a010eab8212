// The crash kit's stack unwinder on live stacks of this process, beside
// libunwind's unw_step from the same registers in the same run, with a
// capture context set up so "sdk.log" is written as in a crash:
// - an optimised chain without and with frame pointers, a comparator inside
//   qsort (C library frames between), one inside std::sort, a slot a QTimer
//   runs (Qt frames), and a chain of 64 frames and more through Qt and the C
//   library (a timer's slot, then qsort, then a recursion);
// - a walk whose frame pointer lies far above the stack (the bounded scan).
// For each: frames found by each, the median walk time of 50 and the time
// per frame; every frame libunwind finds must be among ours.
//   blackbox_unwind_bench
#define UNW_LOCAL_ONLY
#include <libunwind.h>
#include <sys/mman.h>
#include <ucontext.h>

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "BenchProcess.h"
#include "sdk/blackbox/BBXContext.h"
#include "sdk/blackbox/BBXUnwind.h"
#include "tests/sdk/blackbox/UnwindChains.h"

namespace {

constexpr int kRounds = 50;

struct Stack {
    ucontext_t registers;
    bool captured = false;
};

std::vector<uint64_t> ourWalk(const BBXThreadState& state, bool interrupted) {
    uint64_t frames[kBBXUnwindMaximumFrames];
    size_t count = 0;
    BBXUnwindContext context;
    BBXUnwindInitContext(&context, &state, interrupted);
    while (count < std::size(frames) && BBXUnwindNextFrame(&context)) frames[count++] = BBXUnwindGetPC(&context);
    return std::vector<uint64_t>(frames, frames + count);
}

std::vector<uint64_t> theirWalk(ucontext_t* registers) {
    std::vector<uint64_t> frames;
    frames.reserve(1024);
    unw_cursor_t cursor;
    if (unw_init_local(&cursor, reinterpret_cast<unw_context_t*>(registers)) != 0) return frames;
    do {
        unw_word_t ip = 0;
        unw_get_reg(&cursor, UNW_REG_IP, &ip);
        frames.push_back(ip);
    } while (frames.size() < 1024 && unw_step(&cursor) > 0);
    return frames;
}

template <class Body>
double medianUs(Body body) {
    std::vector<double> times;
    for (int i = 0; i < kRounds; ++i) {
        auto start = std::chrono::steady_clock::now();
        body();
        times.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    return bench::median(times);
}

// Measures both walks while the stack is still live: called at its deepest point.
__attribute__((noinline)) void measure(void* data) {
    const char* name = static_cast<const char*>(data);
    ucontext_t registers;
    getcontext(&registers);
    BBXThreadState state = BBXThreadStateFromMachineContext(&registers);
    std::vector<uint64_t> ours = ourWalk(state, false);
    std::vector<uint64_t> theirs = theirWalk(&registers);
    double ourUs = medianUs([&] { ourWalk(state, false); });
    double theirUs = medianUs([&] { theirWalk(&registers); });
    size_t missing = 0;
    for (uint64_t frame : theirs) missing += std::find(ours.begin(), ours.end(), frame) == ours.end() ? 1 : 0;
    double ourPerFrame = ourUs / static_cast<double>(ours.size());
    double theirPerFrame = theirUs / static_cast<double>(theirs.size());
    std::printf("| %s | %zu | %zu | %zu | %.0f us | %.1f us | %.2f us | %.2f us | %.1fx |\n", name, ours.size(),
                theirs.size(), missing, ourUs, ourPerFrame, theirUs, theirPerFrame, ourPerFrame / theirPerFrame);
    asm volatile("" ::: "memory");
}

int compareCounter = 0;
const char* gComparatorName = nullptr;
int gRecurseAfterSort = 0;
int compareMeasuring(const void* a, const void* b) {
    if (gComparatorName) {
        const char* name = gComparatorName;
        gComparatorName = nullptr;
        if (gRecurseAfterSort > 0) blackboxtest::recurseThenCallBack(gRecurseAfterSort, measure, const_cast<char*>(name));
        else measure(const_cast<char*>(name));
    }
    ++compareCounter;
    return *static_cast<const int*>(a) - *static_cast<const int*>(b);
}

void sortMeasuring(const char* name, int recurse) {
    int numbers[] = {5, 3, 9, 1, 7, 2, 8, 6, 4, 0};
    gComparatorName = name;
    gRecurseAfterSort = recurse;
    qsort(numbers, std::size(numbers), sizeof numbers[0], compareMeasuring);
}

}  // namespace

int main(int argc, char** argv) {
    bench::Home home = bench::makeHome("blackbox-unwind-bench");
    BBXContextInitData data;
    data.apiKey = "bench-key";
    std::string dir = home.root.string();
    data.reportPath = dir.c_str();
    BBXContextInitialize(&data);
    while (!BBXContextIsInitialized()) std::this_thread::yield();

    std::printf("| stack | our frames | libunwind frames | missed | our walk | per frame | libunwind walk | per frame | ratio |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    blackboxtest::chainWithoutFramePointers(measure, const_cast<char*>("chain, no frame pointers"));
    blackboxtest::chainWithFramePointers(measure, const_cast<char*>("chain, frame pointers"));
    sortMeasuring("qsort comparator", 0);
    blackboxtest::sortCallingBack(measure, const_cast<char*>("std::sort comparator"));
    QCoreApplication application(argc, argv);
    QTimer::singleShot(0, &application, [&] {
        measure(const_cast<char*>("QTimer slot"));
        sortMeasuring("QTimer slot, qsort, 50 calls", 50);
        application.quit();
    });
    application.exec();

    // A frame pointer far above the stack, in code with no tables: the first
    // step scans at most 1024 words of a stack holding nothing of an image.
    const size_t size = 16 * 4096;
    void* mapping = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    BBXThreadState garbage{};
    garbage.rip = 0x10000;
    garbage.rsp = reinterpret_cast<uint64_t>(mapping);
    garbage.rbp = garbage.rsp + (uint64_t(1) << 40);
    double garbageUs = medianUs([&] { ourWalk(garbage, true); });
    std::printf("\ngarbage frame pointer walk: %.0f us (median of %d)\n", garbageUs, kRounds);
    munmap(mapping, size);
    return 0;
}
