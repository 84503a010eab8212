// The unwinder on this process's own stacks, beside libunwind walking from the
// same registers: optimised chains with and without frame pointers, frames of
// the C library, the C++ library and Qt; then the walk's limits.
#include "sdk/blackbox/BBXUnwind.h"

#define UNW_LOCAL_ONLY
#include <gtest/gtest.h>
#include <libunwind.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>

#include <QCoreApplication>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "sdk/blackbox/BBXBinaryImage.h"
#include "platform/crash/Threads.h"
#include "sdk/blackbox/BBXContext.h"
#include "tests/sdk/blackbox/BlackboxTestSupport.h"
#include "tests/sdk/blackbox/UnwindChains.h"
#include "tests/sdk/blackbox/UnwindInfoBuilder.h"

// A caller whose last instruction (ud2) has its own CFA rule, followed at once
// by a function that faults on its first instruction: looking the fault up one
// byte early would land in the caller's ud2 row.
asm(R"(
    .text
    .globl bbxTestCallFaultFirst
    .type bbxTestCallFaultFirst, @function
bbxTestCallFaultFirst:
    .cfi_startproc
    subq $8, %rsp
    .cfi_adjust_cfa_offset 8
    call bbxTestFaultFirst
    .globl bbxTestAfterFaultCall
bbxTestAfterFaultCall:
    .cfi_remember_state
    addq $8, %rsp
    .cfi_adjust_cfa_offset -8
    ret
    .cfi_restore_state
    subq $16, %rsp
    .cfi_adjust_cfa_offset 16
    ud2
    .cfi_endproc
    .size bbxTestCallFaultFirst, .-bbxTestCallFaultFirst
    .globl bbxTestFaultFirst
    .type bbxTestFaultFirst, @function
bbxTestFaultFirst:
    .cfi_startproc
    movq (%rdi), %rax
    ret
    .cfi_endproc
    .size bbxTestFaultFirst, .-bbxTestFaultFirst
)");
extern "C" void bbxTestCallFaultFirst(void* address);
extern "C" char bbxTestAfterFaultCall[];
extern "C" char bbxTestFaultFirst[];

namespace {

using blackboxtest::fileContents;

class UnwindEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        char folder[] = "/tmp/bbx-unwind-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        folder_ = folder;
        BBXContextInitData data;
        data.apiKey = "test-key";
        data.reportPath = folder_.c_str();
        data.sessionID = "session";
        data.logBufferSize = 65536;
        BBXContextInitialize(&data);
        for (int i = 0; i < 500 && !BBXContextIsInitialized(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_TRUE(BBXContextIsInitialized());
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }
    static std::string logPath() { return folder_ + "/sdk.log"; }
    static inline std::string folder_;
};

[[maybe_unused]] auto* const gEnvironment = ::testing::AddGlobalTestEnvironment(new UnwindEnvironment);

struct Walks {
    std::vector<uint64_t> ours;
    std::vector<uint64_t> theirs;
};

std::vector<uint64_t> ourWalk(const BBXThreadState& state, bool interrupted) {
    uint64_t frames[kBBXUnwindMaximumFrames + 8];
    size_t count = 0;
    BBXUnwindContext context;
    if (!BBXUnwindInitContext(&context, &state, interrupted)) return {};
    while (count < std::size(frames) && BBXUnwindNextFrame(&context)) frames[count++] = BBXUnwindGetPC(&context);
    return std::vector<uint64_t>(frames, frames + count);
}

// Both walks from one getcontext, whose PC is a return address.
__attribute__((noinline)) void walkBoth(void* data) {
    auto* walks = static_cast<Walks*>(data);
    ucontext_t registers;
    getcontext(&registers);
    walks->ours = ourWalk(BBXThreadStateFromMachineContext(&registers), false);
    unw_cursor_t cursor;
    if (unw_init_local(&cursor, reinterpret_cast<unw_context_t*>(&registers)) != 0) return;
    do {
        unw_word_t ip = 0;
        unw_get_reg(&cursor, UNW_REG_IP, &ip);
        walks->theirs.push_back(ip);
    } while (walks->theirs.size() < 1000 && unw_step(&cursor) > 0);
    asm volatile("" ::: "memory");
}

void expectSameWalks(const Walks& walks) {
    EXPECT_GE(walks.theirs.size(), 5u);
    EXPECT_EQ(walks.ours, walks.theirs);
}

TEST(BBXUnwindLiveTest, OptimisedChainsWalkLikeLibunwind) {
    Walks without, with;
    blackboxtest::chainWithoutFramePointers(walkBoth, &without);
    blackboxtest::chainWithFramePointers(walkBoth, &with);
    {
        SCOPED_TRACE("without frame pointers");
        expectSameWalks(without);
    }
    {
        SCOPED_TRACE("with frame pointers");
        expectSameWalks(with);
    }
}

// A thread stopped by the suspension signal while it spins at the end of an
// optimised chain: its PC is where it was interrupted, not a return address.
std::atomic<bool> gSpinning{false};
std::atomic<bool> gStopSpinning{false};
__attribute__((noinline)) void spin(void*) {
    gSpinning.store(true);
    while (!gStopSpinning.load(std::memory_order_relaxed)) asm volatile("pause" ::: "memory");
}

TEST(BBXUnwindLiveTest, ASuspendedThreadWalksLikeLibunwind) {
    gStopSpinning.store(false);
    std::atomic<pid_t> tid{0};
    std::thread worker([&] {
        tid.store(crash::currentThreadID());
        blackboxtest::chainWithoutFramePointers(spin, nullptr);
    });
    while (!gSpinning.load() || tid.load() == 0) std::this_thread::yield();
    ASSERT_TRUE(crash::suspendThread(tid.load()));
    crash::ThreadRegisters registers;
    bool read = crash::suspendedThreadRegisters(tid.load(), &registers);
    ucontext_t context{};
    std::memcpy(context.uc_mcontext.gregs, registers.gregs, sizeof registers.gregs);
    Walks walks;
    if (read) {
        walks.ours = ourWalk(BBXThreadStateFromMachineContext(&context), true);
        unw_cursor_t cursor;
        // Stopped by a signal: libunwind looks the first PC up as it is, too.
        if (unw_init_local2(&cursor, reinterpret_cast<unw_context_t*>(&context), UNW_INIT_SIGNAL_FRAME) == 0) {
            do {
                unw_word_t ip = 0;
                unw_get_reg(&cursor, UNW_REG_IP, &ip);
                walks.theirs.push_back(ip);
            } while (walks.theirs.size() < 1000 && unw_step(&cursor) > 0);
        }
    }
    crash::resumeThread(tid.load());
    gStopSpinning.store(true);
    worker.join();
    ASSERT_TRUE(read);
    expectSameWalks(walks);
}

Walks* gComparatorWalks = nullptr;
int compareCallingBack(const void* a, const void* b) {
    if (gComparatorWalks) {
        walkBoth(gComparatorWalks);
        gComparatorWalks = nullptr;
    }
    return *static_cast<const int*>(a) - *static_cast<const int*>(b);
}

TEST(BBXUnwindLiveTest, ComparatorsInsideTheLibrariesSortsWalkLikeLibunwind) {
    Walks c, cxx;
    int numbers[] = {5, 3, 9, 1, 7, 2, 8, 6, 4, 0};
    gComparatorWalks = &c;
    qsort(numbers, std::size(numbers), sizeof numbers[0], compareCallingBack);
    blackboxtest::sortCallingBack(walkBoth, &cxx);
    {
        SCOPED_TRACE("qsort");
        expectSameWalks(c);
    }
    {
        SCOPED_TRACE("std::sort");
        expectSameWalks(cxx);
    }
}

TEST(BBXUnwindLiveTest, ASlotRunByATimerWalksLikeLibunwind) {
    int argc = 1;
    char name[] = "blackbox_unwind_tests";
    char* argv[] = {name, nullptr};
    QCoreApplication application(argc, argv);
    Walks walks;
    QTimer::singleShot(0, &application, [&] {
        walkBoth(&walks);
        application.quit();
    });
    application.exec();
    expectSameWalks(walks);
}

TEST(BBXUnwindLiveTest, ADeepRecursionGivesExactlyTheFrameLimit) {
    Walks walks;
    blackboxtest::recurseThenCallBack(600, walkBoth, &walks);
    EXPECT_EQ(walks.ours.size(), kBBXUnwindMaximumFrames);
    ASSERT_GE(walks.theirs.size(), kBBXUnwindMaximumFrames);
    EXPECT_EQ(walks.ours, std::vector<uint64_t>(walks.theirs.begin(), walks.theirs.begin() + kBBXUnwindMaximumFrames));
}

sigjmp_buf gFaultReturn;
std::vector<uint64_t>* gFaultFrames = nullptr;

void recordFault(int, siginfo_t*, void* context) {
    *gFaultFrames = ourWalk(BBXThreadStateFromMachineContext(static_cast<ucontext_t*>(context)), true);
    siglongjmp(gFaultReturn, 1);
}

TEST(BBXUnwindLiveTest, AFaultOnAFunctionsFirstInstructionGivesItsCaller) {
    std::vector<uint64_t> frames;
    gFaultFrames = &frames;
    struct sigaction action {}, previous {};
    action.sa_sigaction = recordFault;
    action.sa_flags = SA_SIGINFO;
    sigaction(SIGSEGV, &action, &previous);
    if (sigsetjmp(gFaultReturn, 1) == 0) bbxTestCallFaultFirst(nullptr);
    sigaction(SIGSEGV, &previous, nullptr);
    ASSERT_GE(frames.size(), 3u);
    EXPECT_EQ(frames[0], reinterpret_cast<uint64_t>(bbxTestFaultFirst));
    EXPECT_EQ(frames[1], reinterpret_cast<uint64_t>(bbxTestAfterFaultCall));
}

TEST(BBXUnwindLiveTest, AnInvalidPCGivesNoFrames) {
    uint64_t stack[4] = {};
    BBXThreadState state{};
    state.rsp = reinterpret_cast<uint64_t>(stack);
    size_t before = fileContents(UnwindEnvironment::logPath()).size();
    EXPECT_TRUE(ourWalk(state, true).empty());
    EXPECT_NE(fileContents(UnwindEnvironment::logPath()).substr(before).find(
                  "BBXUnwindNextFrame: Cancelling unwind for thread with invalid PC/SP\n"),
              std::string::npos);
}

// The first step's stack scan under a frame pointer far above the stack: it
// takes the first word inside an image, but reads at most 1024 words and
// stops at the first one it cannot read.
TEST(BBXUnwindLiveTest, TheStackScanIsBounded) {
    const size_t words = 4096;
    const size_t size = words * 8;
    void* mapping = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapping, MAP_FAILED);
    auto* stack = static_cast<uint64_t*>(mapping);
    const uint64_t inImage = reinterpret_cast<uint64_t>(&ourWalk);
    struct Row {
        const char* name;
        size_t at;        // where the image address lies
        size_t unreadable;  // first word of an unreadable page, or 0
        bool found;
    };
    const Row rows[] = {
        {"word 1000", 1000, 0, true},
        {"word 1023", 1023, 0, true},
        {"word 1024", 1024, 0, false},
        {"past an unreadable page", 1000, 512, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        mprotect(mapping, size, PROT_READ | PROT_WRITE);
        std::fill(stack, stack + words, 0);
        stack[row.at] = inImage;
        if (row.unreadable) mprotect(stack + row.unreadable, 4096, PROT_NONE);
        BBXThreadState state{};
        state.rip = 0x10000;  // in no image: no tables to try
        state.rsp = reinterpret_cast<uint64_t>(stack);
        state.rbp = state.rsp + (uint64_t(1) << 40);
        auto start = std::chrono::steady_clock::now();
        std::vector<uint64_t> frames = ourWalk(state, true);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
        ASSERT_GE(frames.size(), 1u);
        EXPECT_EQ(frames.size() >= 2 && frames[1] == inImage, row.found);
    }
    munmap(mapping, size);
}

// An image with compact tables (as a Mach-O image has): a compressed page's
// frameless encoding gives the caller; a regular page is not read, and the
// walk falls back to the frame pointer.
TEST(BBXUnwindLiveTest, CompactTablesAreUsedWhereAnImageHasThem) {
    std::vector<uint8_t> image(0x4000, 0);
    blackboxtest::UnwindInfoBuilder builder({0x02000000 | (2 << 16)});
    builder.addCompressedPage(0x1000, {{0, 0}}, {});
    builder.addRegularPage(0x2000, {{0x2000, 0x01000000}});
    builder.setEnd(0x3000);
    std::vector<uint8_t> info = builder.build();
    const uint64_t load = reinterpret_cast<uint64_t>(image.data());

    BBXBinaryImageNode* slot = nullptr;
    for (BBXBinaryImageNode& node : BBXContextGetWritable()->binaryImages) {
        if (node.base == 0) {
            slot = &node;
            break;
        }
    }
    ASSERT_NE(slot, nullptr);
    slot->size = image.size();
    slot->unwindInfo = reinterpret_cast<uintptr_t>(info.data());
    slot->ehFrame = 0;
    slot->ehFrameHdr = 0;
    __atomic_store_n(&slot->base, load, __ATOMIC_SEQ_CST);

    uint64_t frameless[2] = {0x11, 0x6000};
    BBXThreadState state{};
    state.rip = load + 0x1050;
    state.rsp = reinterpret_cast<uint64_t>(frameless);
    EXPECT_EQ(ourWalk(state, true), (std::vector<uint64_t>{load + 0x1050, 0x6000}));

    uint64_t framed[4] = {0x1, 0x2, 0, 0x7000};
    state.rip = load + 0x2050;
    state.rsp = reinterpret_cast<uint64_t>(framed);
    state.rbp = reinterpret_cast<uint64_t>(framed + 2);
    EXPECT_EQ(ourWalk(state, true), (std::vector<uint64_t>{load + 0x2050, 0x7000}));

    __atomic_store_n(&slot->base, 0, __ATOMIC_SEQ_CST);
}

}  // namespace
