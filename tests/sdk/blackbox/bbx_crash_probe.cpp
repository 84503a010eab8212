// A child program for the capture core's tests.
//   bbx_crash_probe core --report-dir DIR [--scenario none] [--hold] [--slow-block N SECONDS]
//       sets up the capture context for a report in DIR (API key "probe-key",
//       a fresh session, the kit settings' defaults); prints "returned" once
//       BBXContextInitialize returns, then "initialized-on-return=1|0" (was
//       the context initialised then), and "initialized" once the context is,
//       then exits 0 (with --hold, sleeps until killed). --slow-block holds
//       set-up block N back for SECONDS.
//   bbx_crash_probe core --report-dir DIR --scenario snapshot [--threads N] [--dlopen [--dlclose]]
//                   [--blocked-thread] [--getpwnam] [--fill-slots]
//       also starts workers "worker-1"... parked in ProbeWorkerMain ->
//       ProbeLevel1 -> ProbeLevel2 -> ProbeLevel3 -> ProbeParkWorker and one
//       block parked on the serial queue "probe.queue", may load the plugin
//       beside it, and writes what the crash handler records of the process,
//       this thread marked crashed, to DIR/snapshot.bbxrecord; prints facts
//       for the tests as name=value lines, among them "heap-calls", the heap
//       calls made between suspending the other threads and resuming them,
//       "park-levels", the addresses of ProbeLevel3, 2 and 1, and
//       "snapshot-function", the address of the function that records.
//   bbx_crash_probe core --report-dir DIR --scenario runtime-on-assert
//       fails an assertion; its SIGABRT handler writes the "runtime" section
//       to DIR/runtime.bbxrecord.
//   bbx_crash_probe core --report-dir DIR --scenario user-logging
//       (log buffer 300 bytes) records the custom keys k00 to k62, then k05
//       set to nil (the 64th write), and the log lines "line 00" to "line 39".
//   bbx_crash_probe core --report-dir DIR --scenario frames
//       writes DIR/exception.bbxrecord with one "threads" section: thread 0
//       is this thread's stack inside FramesLevel1 -> FramesLevel2 ->
//       FramesLevel3 (static functions), taken with backtrace(); thread 1
//       holds the first byte of FramesLevel2 as a return address; and
//       DIR/signal.bbxrecord with what the crash handler records of this
//       process with two workers parked as in the snapshot scenario.
//   bbx_crash_probe symbolicate --report-dir DIR
//       sets up a capture context in a new folder beside DIR, then
//       symbolicates the report in DIR with a new resolver.
//   bbx_crash_probe core --report-dir DIR --scenario S [--threads N] [--deliver-signal SIG]
//       starts N parked workers, then crashes in main -> ProbeRunScenario ->
//       ProbeLevel1 -> ProbeLevel2 -> ProbeLevel3 -> S's function: segv-null,
//       segv-wild, bus, ill, fpe, abort, assert, cxx-exception, cxx-integer
//       (throws 42), cxx-kit-exception (a kit exception no one catches), overflow
//       (ProbeRecurse until the stack ends), hostile (no stack at all),
//       report-exception (a kit exception through the application's
//       reporter), kill (waits, printing "waiting", for a signal), and
//       fault-in-recorder (segv-null with the recorder faulting once midway
//       through the second thread's entry of its threads section),
//       fault-in-section (the same, faulting as its process_stats section
//       begins). worker: worker-2 does segv-null below its levels;
//       two-at-once: worker-2 and the main thread fault together; busy:
//       segv-null while four threads loop on malloc/free and dlopen/dlclose;
//       image-write: loads the plugin, and the thread recording the load in
//       "binary_images.bbxrecord" faults right after its first write there;
//       image-write-cut: the thread recording the plugin's load writes that
//       line in two halves 200 ms apart, and the main thread does segv-null
//       between them.
//       Each first records the key "probe-key" and a log line; the heap
//       calls of the crash handler while it holds the other threads go to
//       DIR/heap-calls.
//       --deliver-signal: the delegate wants SIG as a signal.
//   bbx_crash_probe core --report-dir DIR --scenario warn-foreign
//       installs handlers of its own for SIGSEGV and SIGABRT with plain
//       sigaction and prints the kit's foreign-handler warning.
//   bbx_crash_probe kit [--debug] [--run-loop S] [--deliver-signal SIG] --scenario NAME
//       starts the kits as the program does (Beacon::with the shared Blackbox,
//       for the main bundle TAVLO_BUNDLE names) in a QCoreApplication, prints
//       "kit-started=0|1", "tally-started=0|1" (the analytics kit runs),
//       "start-seconds=<how long Beacon::with took>" and
//       "report=<this launch's report folder>", then
//       runs the scenario at once, before the first main-queue turn, or after
//       running the main loop for S seconds, printing at its first main-queue
//       turn "first-turn-at=<steady clock in ns>" ("abort-action=default|handler"
//       tells whether a handler holds SIGABRT). Scenarios are the crashes of
//       "core" (segv-null, abort, ...); "none" waits for the kit's work queue
//       and its uploads (10 s at most) and exits 0; "exit" leaves at once
//       with _exit(0). --deliver-signal: the kit's delegate wants SIG as a
//       signal.
//   bbx_crash_probe read FILE
//       prints each section of a record file as one JSON line.
//   bbx_crash_probe package --report-dir DIR [--urgent] [--debug]
//       packages and uploads DIR as the kit's next launch does (ProbePackage.cpp).
#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <pwd.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cassert>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <vector>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include <QCoreApplication>
#include <QTimer>

#include "platform/dispatch/OperationQueue.h"
#include "platform/dispatch/Queue.h"
#include "sdk/beacon/BCNException.h"
#include "sdk/beacon/BCNKitRegistry.h"
#include "sdk/beacon/Beacon.h"
#include "sdk/blackbox/BBXCrashReportingController.h"
#include "sdk/blackbox/BBXFileManager.h"
#include "sdk/blackbox/Blackbox.h"
#include "sdk/blackbox/BlackboxDelegate.h"
#include "sdk/tally/Tally.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/ThreadIdentity.h"
#include "platform/foundation/UserDefaults.h"
#include "sdk/blackbox/BBXApplicationHooks.h"
#include "sdk/blackbox/BBXBinaryImage.h"
#include "sdk/blackbox/BBXException.h"
#include "sdk/blackbox/BBXFile.h"
#include "sdk/blackbox/BBXHandler.h"
#include "sdk/blackbox/BBXKitException.h"
#include "sdk/blackbox/BBXMachException.h"
#include "sdk/blackbox/BBXSignal.h"
#include "sdk/blackbox/BBXProcess.h"
#include "sdk/blackbox/BBXContext.h"
#include "sdk/blackbox/BBXInternalReport.h"
#include "sdk/blackbox/BBXProcessReportOperation.h"
#include "sdk/blackbox/BBXSymbolResolver.h"
#include "sdk/blackbox/BBXUserLogging.h"
#include "sdk/blackbox/BBXUtilities.h"

// glibc's report of a failed assertion, which <cassert> leaves undeclared in
// a build with NDEBUG (Release): the probe fails one on purpose in every build.
extern "C" [[noreturn]] void __assert_fail(const char* assertion, const char* file, unsigned int line,
                                           const char* function) noexcept;

namespace {

int gSlowBlock = 0;
double gSlowSeconds = 0;

void slowBlock(int block) {
    if (block == gSlowBlock) std::this_thread::sleep_for(std::chrono::duration<double>(gSlowSeconds));
}

int usage() {
    std::fprintf(stderr,
                 "usage: bbx_crash_probe core --report-dir DIR [--scenario none|snapshot|runtime-on-assert|user-logging|\n"
                 "                                                       frames|CRASH] [--hold] [--deliver-signal SIG]\n"
                 "                            [--slow-block N SECONDS] [--threads N] [--dlopen [--dlclose]]\n"
                 "                            [--blocked-thread] [--getpwnam] [--fill-slots]\n"
                 "       bbx_crash_probe symbolicate --report-dir DIR\n"
                 "       bbx_crash_probe kit [--debug] [--run-loop S] [--deliver-signal SIG] --scenario none|exit|CRASH\n"
                 "       bbx_crash_probe read FILE\n"
                 "       bbx_crash_probe package --report-dir DIR [--urgent] [--debug]\n");
    return 2;
}

int readFile(const char* path) {
    auto sections = BBXFileReadSections(path, false);
    if (!sections) return 1;
    for (const auto& section : *sections) {
        auto text = foundation::JSON::write(section);
        if (text) std::printf("%s\n", text.value().c_str());
    }
    return 0;
}

// The heap trap: counts heap calls the recording thread makes while it holds
// the other threads. A sanitizer build owns malloc, so there its allocator's
// hooks count; otherwise malloc and its kin are replaced over glibc's own.
std::atomic<pid_t> gCountingThread{0};
std::atomic<int> gHeapCalls{0};

void countHeapCall() {
    pid_t counting = gCountingThread.load(std::memory_order_relaxed);
    if (counting && static_cast<pid_t>(syscall(SYS_gettid)) == counting) gHeapCalls.fetch_add(1);
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, size_t),
                                                         void (*free_hook)(const volatile void*));
namespace {
void installHeapTrap() {
    __sanitizer_install_malloc_and_free_hooks([](const volatile void*, size_t) { countHeapCall(); },
                                              [](const volatile void*) { countHeapCall(); });
}
}  // namespace
#else
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
void* malloc(size_t size) {
    countHeapCall();
    return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
    countHeapCall();
    return __libc_calloc(count, size);
}
void* realloc(void* block, size_t size) {
    countHeapCall();
    return __libc_realloc(block, size);
}
void* memalign(size_t alignment, size_t size) {
    countHeapCall();
    return __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size) {
    countHeapCall();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, size_t alignment, size_t size) {
    countHeapCall();
    *out = __libc_memalign(alignment, size);
    return *out ? 0 : ENOMEM;
}
void free(void* block) {
    countHeapCall();
    __libc_free(block);
}
}
namespace {
void installHeapTrap() {}
}  // namespace
#endif

namespace {

// Parked workers: each level is its own frame (never inlined, never a tail call).
std::atomic<bool> gStopWorkers{false};
std::atomic<int> gParked{0};
// The worker scenario: this worker runs the leaf below its levels.
void (*gWorkerLeaf)() = nullptr;
int gCrashingWorker = 0;

__attribute__((noinline)) void ProbeParkWorker() {
    gParked.fetch_add(1);
    while (!gStopWorkers.load()) usleep(1000);
    asm volatile("" ::: "memory");
}
// What the innermost level runs: parking, or the crash of a scenario.
using ProbeLeaf = void (*)();
thread_local ProbeLeaf tLeaf = ProbeParkWorker;
__attribute__((noinline)) static void ProbeLevel3() {
    tLeaf();
    asm volatile("" ::: "memory");
}
__attribute__((noinline)) static void ProbeLevel2() {
    ProbeLevel3();
    asm volatile("" ::: "memory");
}
__attribute__((noinline)) static void ProbeLevel1() {
    ProbeLevel2();
    asm volatile("" ::: "memory");
}
__attribute__((noinline)) void ProbeWorkerMain(int index, bool blockSignals) {
    if (blockSignals) {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
    }
    foundation::setCurrentThreadName(blockSignals ? "worker-blocked" : "worker-" + std::to_string(index));
    if (gWorkerLeaf && index == gCrashingWorker) tLeaf = gWorkerLeaf;
    ProbeLevel1();
    asm volatile("" ::: "memory");
}

struct SnapshotOptions {
    int threads = 3;
    bool dlopen = false;
    bool dlclose = false;
    bool blockedThread = false;
    bool getpwnam = false;
    bool fillSlots = false;
};

int countLoadedImages() {
    int count = 0;
    dl_iterate_phdr([](dl_phdr_info*, size_t, void* data) -> int { ++*static_cast<int*>(data); return 0; }, &count);
    return count;
}

// Writes the sections the crash handler writes, in its order.
void writeSnapshot(const std::string& path, const SnapshotOptions&) {
    BBXFile file;
    if (!BBXFileInit(&file, path.c_str(), false)) return;
    static BBXProcess process;  // large: kept off the stack
    BBXProcessInit(&process, BBXThreadSelf(), nullptr);
    auto start = std::chrono::steady_clock::now();
    gCountingThread.store(static_cast<pid_t>(syscall(SYS_gettid)));
    bool suspended = BBXProcessSuspendAllOtherThreads(&process);
    auto suspendMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    BBXProcessRecordAllThreads(&process, &file);
    BBXProcessRecordRuntimeInfo(&process, &file);
    BBXProcessRecordDispatchQueueNames(&process, &file);
    BBXProcessRecordThreadNames(&process, &file);
    BBXProcessRecordStats(&process, &file);
    char statm[128] = {};
    int fd = ::open("/proc/self/statm", O_RDONLY);
    ssize_t got = ::read(fd, statm, sizeof statm - 1);
    ::close(fd);
    BBXProcessRecordStorage(BBXContextGetReadOnly()->cachesPath, &file);
    BBXProcessResumeAllOtherThreads(&process);
    gCountingThread.store(0);
    BBXFileClose(&file);
    std::printf("suspended=%d\nsuspend-ms=%.1f\nthreads=%d\nheap-calls=%d\n", suspended ? 1 : 0, suspendMs,
                process.threadCount, gHeapCalls.load());
    std::printf("snapshot-function=%lu\n", reinterpret_cast<unsigned long>(&writeSnapshot));
    std::printf("park-levels=%lu,%lu,%lu\n", reinterpret_cast<unsigned long>(&ProbeLevel3),
                reinterpret_cast<unsigned long>(&ProbeLevel2), reinterpret_cast<unsigned long>(&ProbeLevel1));
    if (got > 0) std::printf("statm=%s", statm);
}

int snapshot(const std::string& reportDir, const char* self, const SnapshotOptions& options) {
    installHeapTrap();
    // The trap must see a heap call when there is one.
    gCountingThread.store(static_cast<pid_t>(syscall(SYS_gettid)));
    void* volatile probeBlock = std::malloc(16);
    std::free(probeBlock);
    gCountingThread.store(0);
    std::printf("heap-trap-works=%d\n", gHeapCalls.exchange(0) >= 2 ? 1 : 0);
    std::vector<std::thread> workers;
    for (int i = 1; i <= options.threads; ++i) workers.emplace_back(ProbeWorkerMain, i, false);
    if (options.blockedThread) workers.emplace_back(ProbeWorkerMain, 0, true);
    auto queue = dispatch::Queue::createSerial("probe.queue");
    queue->async([] { ProbeParkWorker(); });
    int expected = static_cast<int>(workers.size()) + 1;
    while (gParked.load() < expected) usleep(1000);

    void* plugin = nullptr;
    if (options.fillSlots) {
        // Every free slot taken by an image of no size, which holds no address.
        for (BBXBinaryImageNode& slot : BBXContextGetWritable()->binaryImages)
            if (slot.base == 0) slot.base = 1;
    }
    if (options.dlopen) {
        std::string path = (std::filesystem::path(self).parent_path() / "libbbx_probe_plugin.so").string();
        plugin = dlopen(path.c_str(), RTLD_NOW);
        if (!plugin) return 3;
        auto* function = reinterpret_cast<int (*)(int)>(dlsym(plugin, "bbx_probe_plugin_answer"));
        BBXBinaryImageNode node;
        std::printf("plugin-path=%s\nplugin-function=%lu\nplugin-answer=%d\nfound-plugin=%d\n", path.c_str(),
                    reinterpret_cast<unsigned long>(function), function(7),
                    BBXBinaryImageSafeFindImageForAddress(reinterpret_cast<uintptr_t>(function), &node) ? 1 : 0);
    }
    if (options.getpwnam) {
        getpwnam("bbx-probe-no-such-user");
        BBXBinaryImageRescanIfChanged();
    }
    writeSnapshot(reportDir + "/snapshot.bbxrecord", options);
    if (plugin && options.dlclose) {
        auto* function = dlsym(plugin, "bbx_probe_plugin_answer");
        dlclose(plugin);
        BBXBinaryImageNode node;
        std::printf("found-after-unload=%d\n",
                    BBXBinaryImageSafeFindImageForAddress(reinterpret_cast<uintptr_t>(function), &node) ? 1 : 0);
    }
    std::printf("images=%d\n", countLoadedImages());
    gStopWorkers.store(true);
    for (auto& worker : workers) {
        if (worker.joinable()) worker.join();
    }
    BBXContextBinaryImagesQueue()->sync([] {});
    queue->sync([] {});
    return 0;
}

std::string gRuntimePath;
void recordRuntimeOnAbort(int) {
    BBXFile file;
    if (!BBXFileInit(&file, gRuntimePath.c_str(), false)) return;
    static BBXProcess process;
    BBXProcessInit(&process, BBXThreadSelf(), nullptr);
    BBXProcessRecordRuntimeInfo(&process, &file);
    BBXFileClose(&file);
}

[[noreturn]] void failAssertion(const std::string& reportDir) {
    gRuntimePath = reportDir + "/runtime.bbxrecord";
    struct sigaction action {};
    action.sa_handler = recordRuntimeOnAbort;
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGABRT, &action, nullptr);
    __assert_fail("probe-assertion", __FILE__, __LINE__, __func__);
}

void recordUserLogging() {
    for (int i = 0; i <= 62; ++i) {
        char key[8];
        std::snprintf(key, sizeof key, "k%02d", i);
        BBXUserLoggingRecordUserKeyValue(std::string(key), foundation::PlistValue(i));
    }
    BBXUserLoggingRecordUserKeyValue(std::string("k05"), nullptr);
    for (int i = 0; i < 40; ++i) BBXUserLogFormat("line %02d", i);
    BBXContextLoggingQueue()->sync([] {});
    BBXContextLoggingQueue()->sync([] {});
}

// The frames scenario's stack: static levels, each its own frame.
std::string gFramesPath;
void FramesLevel2();
__attribute__((noinline)) static void FramesLevel3() {
    void* frames[64];
    int count = backtrace(frames, 64);
    BBXFile file;
    if (!BBXFileInit(&file, gFramesPath.c_str(), false)) return;
    BBXFileOpenSection(&file, "threads");
    BBXFileBeginArray(&file);
    BBXFileBeginObject(&file);
    BBXFileWriteKey(&file, "stacktrace");
    BBXFileBeginArray(&file);
    for (int i = 0; i < count; ++i) BBXFileWriteUnsignedElement(&file, reinterpret_cast<uintptr_t>(frames[i]));
    BBXFileEndArray(&file);
    BBXFileEndObject(&file);
    BBXFileBeginObject(&file);
    BBXFileWriteKey(&file, "stacktrace");
    BBXFileBeginArray(&file);
    void (*level2)() = FramesLevel2;
    BBXFileWriteUnsignedElement(&file, reinterpret_cast<uintptr_t>(level2));
    BBXFileEndArray(&file);
    BBXFileEndObject(&file);
    BBXFileEndArray(&file);
    BBXFileCloseSection(&file);
    BBXFileClose(&file);
    asm volatile("" ::: "memory");
}
__attribute__((noinline)) void FramesLevel2() {
    FramesLevel3();
    asm volatile("" ::: "memory");
}
__attribute__((noinline)) static void FramesLevel1() {
    FramesLevel2();
    asm volatile("" ::: "memory");
}

int recordFrames(const std::string& reportDir) {
    gFramesPath = reportDir + "/exception.bbxrecord";
    FramesLevel1();
    // What the crash handler records of two parked workers, as a signal record.
    std::vector<std::thread> workers;
    for (int i = 1; i <= 2; ++i) workers.emplace_back(ProbeWorkerMain, i, false);
    while (gParked.load() < 2) usleep(1000);
    writeSnapshot(reportDir + "/signal.bbxrecord", SnapshotOptions{});
    gStopWorkers.store(true);
    for (auto& worker : workers) worker.join();
    BBXContextBinaryImagesQueue()->sync([] {});
    return 0;
}

int symbolicate(int argc, char** argv) {
    if (argc != 4 || std::strcmp(argv[2], "--report-dir") != 0) return usage();
    std::string reportDir = argv[3];
    std::string launch = (std::filesystem::path(reportDir).parent_path() / "symbolicate-XXXXXX").string();
    if (!mkdtemp(launch.data())) return 1;
    BBXContextInitData data;
    data.apiKey = "probe-key";
    data.reportPath = launch.c_str();
    data.sessionID = "symbolicating";
    BBXContextInitialize(&data);
    auto report = BBXInternalReport::reportWithPath(reportDir);
    if (!report) return 1;
    BBXProcessReportOperation operation(report, std::make_shared<BBXSymbolResolver>());
    operation.start();
    std::printf("symbolicated\n");
    return 0;
}

// The crashes. Sanitizers left out: each must reach the kit as the fault it is.
#define PROBE_CRASH __attribute__((noinline, no_sanitize("address", "undefined")))

// Null, though the compiler cannot tell: a store it knows goes to null
// becomes a trap instruction in optimised builds.
int* volatile gNull = nullptr;
PROBE_CRASH void ProbeSegvNull() {
    *gNull = 1;
}
// The page is taken 64 MiB below the stack, a range the kernel hands out only
// when asked for by address: a page freed among the ordinary mappings may be
// given to another thread's mmap before the write, which then lands in that
// thread's memory instead of faulting.
PROBE_CRASH void ProbeSegvWild() {
    long page = sysconf(_SC_PAGESIZE);
    volatile char here = 0;
    auto below = (reinterpret_cast<uintptr_t>(&here) - (uintptr_t{64} << 20)) & ~static_cast<uintptr_t>(page - 1);
    void* mapping = mmap(reinterpret_cast<void*>(below), page, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (mapping == MAP_FAILED) mapping = mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    munmap(mapping, page);
    *static_cast<volatile int*>(mapping) = 1;
}
PROBE_CRASH void ProbeBus() {
    int fd = memfd_create("probe-bus", 0);
    long page = sysconf(_SC_PAGESIZE);
    ftruncate(fd, page);
    auto* mapping = static_cast<volatile char*>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    mapping[page + 8] = 1;  // past the end of the file
}
PROBE_CRASH void ProbeIll() { __builtin_trap(); }
PROBE_CRASH void ProbeFpe() {
    volatile int divisor = 0;
    int dividend = 1;
    int result;
    asm volatile("cltd; idivl %2" : "=a"(result) : "a"(dividend), "r"(static_cast<int>(divisor)) : "edx");
    (void)result;
}
PROBE_CRASH void ProbeAbort() { abort(); }
PROBE_CRASH void ProbeAssert() { __assert_fail("probe-assertion", __FILE__, __LINE__, __func__); }
PROBE_CRASH void ProbeCxxException() { throw std::runtime_error("boom"); }
PROBE_CRASH void ProbeCxxInteger() { throw 42; }
PROBE_CRASH void ProbeCxxKitException() { throw BBXKitException("ProbeException", "probe reason"); }
volatile bool gRecurse = true;
PROBE_CRASH void ProbeRecurse() {
    volatile char room[64];
    room[0] = 1;
    if (gRecurse) ProbeRecurse();
    room[1] = room[0];
}
PROBE_CRASH void ProbeOverflow() { ProbeRecurse(); }
PROBE_CRASH void ProbeHostile() {
    asm volatile("movq $16, %%rsp; movq $16, %%rbp; ud2" ::: "memory");
}
PROBE_CRASH void ProbeReportException() {
    BBXApplicationReportException(kBBXApplicationClassName, BBXKitException("ProbeException", "probe reason"));
}
PROBE_CRASH void ProbeHoldForKill() {
    std::printf("waiting\n");
    std::fflush(stdout);
    for (;;) pause();
}

std::atomic<int> gAtTheLine{0};
PROBE_CRASH void ProbeTwoAtOnce() {
    gAtTheLine.fetch_add(1);
    while (gAtTheLine.load() < 2) {
    }
    *gNull = 1;
}

// The crash handler's phases: the heap calls of the recording thread while
// the others are stopped go to DIR/heap-calls (written with write(2) alone);
// for fault-in-recorder, one fault midway through the second thread's entry
// of the threads section; for fault-in-section, one as the process_stats
// section begins.
bool gFaultInRecorder = false;
bool gFaultInSection = false;
std::atomic<bool> gFaultedRecorder{false};
char gHeapCallsPath[4096];

void writeHeapCalls(int count) {
    char text[32] = "heap-calls=";
    size_t at = std::strlen(text);
    char digits[16];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + count % 10);
        count /= 10;
    } while (count);
    while (n) text[at++] = digits[--n];
    text[at++] = '\n';
    int fd = ::open(gHeapCallsPath, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0) return;
    ssize_t written = ::write(fd, text, at);
    (void)written;
    ::close(fd);
}

PROBE_CRASH void onHandlerPhase(int phase, int section) {
    if (phase == BBXHandlerPhaseSuspended) {
        gHeapCalls.store(0);
        gCountingThread.store(static_cast<pid_t>(syscall(SYS_gettid)));
    } else if (phase == BBXHandlerPhaseResumed) {
        gCountingThread.store(0);
        writeHeapCalls(gHeapCalls.load());
    } else if (phase == BBXHandlerPhaseThread && gFaultInRecorder && section == 1 && !gFaultedRecorder.exchange(true)) {
        *gNull = 1;
    } else if (phase == BBXHandlerPhaseSection && gFaultInSection && section == 5 && !gFaultedRecorder.exchange(true)) {
        *gNull = 1;
    }
}

// Four threads that keep the heap and the loader busy while the main thread crashes.
std::string gPluginPath;
std::atomic<int> gBusyStarted{0};
void ProbeBusyMain() {
    gBusyStarted.fetch_add(1);
    for (;;) {
        void* volatile block = std::malloc(64 + static_cast<size_t>(rand() % 4096));
        std::free(block);
        if (void* plugin = dlopen(gPluginPath.c_str(), RTLD_NOW)) dlclose(plugin);
    }
}

// Whether fd is the report's "binary_images.bbxrecord"; called in the crash
// handler's writes too.
PROBE_CRASH bool isImageList(int fd) {
    char link[64] = "/proc/self/fd/";
    size_t at = std::strlen(link);
    char digits[16];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + fd % 10);
        fd /= 10;
    } while (fd);
    while (n) link[at++] = digits[--n];
    link[at] = 0;
    char target[4096];
    ssize_t length = ::readlink(link, target, sizeof target - 1);
    const char kName[] = "/binary_images.bbxrecord";
    size_t nameLength = sizeof kName - 1;
    return length >= static_cast<ssize_t>(nameLength) &&
           std::memcmp(target + length - nameLength, kName, nameLength) == 0;
}

// The image-write scenario: the loader-tracking thread faults right after its
// first write to "binary_images.bbxrecord" once armed, as if another thread
// had crashed just then: whatever that write held is all the record keeps.
std::atomic<bool> gImageWriteArmed{false};
PROBE_CRASH ssize_t ProbeFaultAfterImageWrite(int fd, const void* bytes, size_t count) {
    ssize_t written = ::write(fd, bytes, count);
    if (!gImageWriteArmed.load() || !isImageList(fd) || !gImageWriteArmed.exchange(false)) return written;
    *gNull = 1;
    return written;
}

// The image-write-cut scenario: the armed write to the image list goes out in
// two halves 200 ms apart, as the kernel may cut a write at a page boundary
// of the file; the main thread crashes in between.
std::atomic<bool> gImageWriteHalfway{false};
PROBE_CRASH ssize_t ProbeSlowImageWrite(int fd, const void* bytes, size_t count) {
    if (count < 2 || !gImageWriteArmed.load() || !isImageList(fd) || !gImageWriteArmed.exchange(false))
        return ::write(fd, bytes, count);
    size_t half = count / 2;
    ssize_t first = ::write(fd, bytes, half);
    if (first != static_cast<ssize_t>(half)) return first;
    gImageWriteHalfway.store(true);
    // The crash handler's suspension signal cuts the sleep short: sleep on.
    timespec pause{0, 200 * 1000 * 1000};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
    ssize_t second = ::write(fd, static_cast<const char*>(bytes) + half, count - half);
    return second < 0 ? first : first + second;
}

struct Scenario {
    const char* name;
    void (*leaf)();
};
const Scenario kScenarios[] = {
    {"segv-null", ProbeSegvNull}, {"segv-wild", ProbeSegvWild}, {"bus", ProbeBus},
    {"ill", ProbeIll},            {"fpe", ProbeFpe},             {"abort", ProbeAbort},
    {"assert", ProbeAssert},      {"cxx-exception", ProbeCxxException},
    {"overflow", ProbeOverflow},  {"hostile", ProbeHostile},     {"report-exception", ProbeReportException},
    {"kill", ProbeHoldForKill},   {"fault-in-recorder", ProbeSegvNull}, {"busy", ProbeSegvNull},
    {"fault-in-section", ProbeSegvNull}, {"image-write-cut", ProbeSegvNull},
    {"cxx-integer", ProbeCxxInteger},     {"cxx-kit-exception", ProbeCxxKitException},
};

void applicationReporter(void*, const BBXKitException& exception) {
    std::fprintf(stderr, "application reported %s\n", exception.name().c_str());
}

__attribute__((noinline)) int ProbeRunScenario(const std::string& name, int threads) {
    // A key and a log line that travel with the report.
    BBXUserLoggingRecordUserKeyValue(std::string("probe-key"), foundation::PlistValue(std::string("probe-value")));
    BBXUserLogFormat("probe log line before %@", name);
    BBXContextLoggingQueue()->sync([] {});
    // The images loaded at start are on file before anything crashes.
    BBXContextBinaryImagesQueue()->sync([] {});
    installHeapTrap();
    gFaultInRecorder = name == "fault-in-recorder";
    gFaultInSection = name == "fault-in-section";
    BBXHandlerSetTestHook(onHandlerPhase);
    if (name == "busy") {
        for (int i = 0; i < 4; ++i) std::thread(ProbeBusyMain).detach();
        while (gBusyStarted.load() < 4) usleep(1000);
        usleep(20000);
    }
    if (name == "image-write") {
        BBXFileSetWriteFunction(ProbeFaultAfterImageWrite);
        gImageWriteArmed.store(true);
        std::printf("crashing-at=%lld\n", static_cast<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                              std::chrono::steady_clock::now().time_since_epoch())
                                              .count()));
        std::fflush(stdout);
        if (void* plugin = dlopen(gPluginPath.c_str(), RTLD_NOW)) (void)plugin;
        for (;;) pause();
    }
    if (name == "image-write-cut") {
        BBXFileSetWriteFunction(ProbeSlowImageWrite);
        gImageWriteArmed.store(true);
        if (void* plugin = dlopen(gPluginPath.c_str(), RTLD_NOW)) (void)plugin;
        while (!gImageWriteHalfway.load()) usleep(1000);
    }
    if (name == "worker" || name == "two-at-once") {
        gWorkerLeaf = name == "worker" ? ProbeSegvNull : ProbeTwoAtOnce;
        gCrashingWorker = 2;
        std::vector<std::thread> workers;
        for (int i = 1; i <= std::max(threads, 2); ++i) workers.emplace_back(ProbeWorkerMain, i, false);
        if (name == "two-at-once") {
            tLeaf = ProbeTwoAtOnce;
            ProbeLevel1();
        }
        for (auto& worker : workers) worker.join();
        return 1;
    }
    for (const Scenario& scenario : kScenarios) {
        if (name != scenario.name) continue;
        std::vector<std::thread> workers;
        for (int i = 1; i <= threads; ++i) workers.emplace_back(ProbeWorkerMain, i, false);
        while (gParked.load() < threads) usleep(1000);
        tLeaf = scenario.leaf;
        std::printf("crashing-at=%lld\n", static_cast<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                              std::chrono::steady_clock::now().time_since_epoch())
                                              .count()));
        std::fflush(stdout);
        ProbeLevel1();
        gStopWorkers.store(true);
        for (auto& worker : workers) worker.join();
        return 0;
    }
    return 2;
}

// Handlers another library would install with plain sigaction, past the
// kit: the warning names both signals; its text goes to standard output here.
void foreignHandler(int) {}
int warnAboutForeignHandlers() {
    struct sigaction foreign {};
    foreign.sa_handler = foreignHandler;
    sigaction(SIGSEGV, &foreign, nullptr);
    sigaction(SIGABRT, &foreign, nullptr);
    std::fflush(stdout);
    dup2(STDOUT_FILENO, STDERR_FILENO);
    BBXSignalWarnAboutForeignHandlers();
    return 0;
}

int core(int argc, char** argv) {
    SnapshotOptions options;
    std::string reportDir;
    std::string scenario = "none";
    bool hold = false;
    int deliverSignal = 0;
    for (int i = 2; i < argc; ++i) {
        std::string argument = argv[i];
        if (argument == "--report-dir" && i + 1 < argc) reportDir = argv[++i];
        else if (argument == "--scenario" && i + 1 < argc) scenario = argv[++i];
        else if (argument == "--hold") hold = true;
        else if (argument == "--threads" && i + 1 < argc) options.threads = std::atoi(argv[++i]);
        else if (argument == "--dlopen") options.dlopen = true;
        else if (argument == "--dlclose") options.dlclose = true;
        else if (argument == "--blocked-thread") options.blockedThread = true;
        else if (argument == "--getpwnam") options.getpwnam = true;
        else if (argument == "--fill-slots") options.fillSlots = true;
        else if (argument == "--deliver-signal" && i + 1 < argc) deliverSignal = std::atoi(argv[++i]);
        else if (argument == "--slow-block" && i + 2 < argc) {
            gSlowBlock = std::atoi(argv[++i]);
            gSlowSeconds = std::atof(argv[++i]);
        } else return usage();
    }
    if (reportDir.empty()) return usage();
    std::snprintf(gHeapCallsPath, sizeof gHeapCallsPath, "%s/heap-calls", reportDir.c_str());
    gPluginPath = (std::filesystem::path(argv[0]).parent_path() / "libbbx_probe_plugin.so").string();
    if (gSlowBlock) BBXContextSetBlockHook(slowBlock);

    std::string sessionID = BBXLowercaseUUIDString();
    std::string installID = BBXLowercaseUUIDString();
    BBXContextInitData data;
    data.apiKey = "probe-key";
    data.reportPath = reportDir.c_str();
    data.sessionID = sessionID.c_str();
    data.installID = installID.c_str();
    // The kit settings' defaults.
    data.errorReportingEnabled = 1;
    data.customExceptionsEnabled = 1;
    data.maxCustomExceptions = 16;
    data.errorLogBufferSize = 65536;
    data.logBufferSize = scenario == "user-logging" ? 300 : 65536;
    data.maxCustomKeys = 16;
    // A delegate asking for that signal as a signal.
    data.machExceptionMask = BBXSignalMachExceptionMask(deliverSignal);
    // The application object whose reporter the kit hooks.
    static int application;
    BBXApplicationRegister(kBBXApplicationClassName, &application, applicationReporter);
    foundation::UserDefaults::standard()->setBool(scenario == "report-exception", kBBXCrashOnExceptionsKey);
    BBXContextInitialize(&data);
    std::printf("returned\ninitialized-on-return=%d\n", BBXContextIsInitialized() ? 1 : 0);
    std::fflush(stdout);
    for (int i = 0; i < 3000 && !BBXContextIsInitialized(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!BBXContextIsInitialized()) return 1;
    std::printf("initialized\n");
    std::fflush(stdout);
    if (scenario == "snapshot") return snapshot(reportDir, argv[0], options);
    if (scenario == "warn-foreign") return warnAboutForeignHandlers();
    if (scenario == "runtime-on-assert") failAssertion(reportDir);
    if (scenario == "frames") return recordFrames(reportDir);
    if (scenario == "user-logging") recordUserLogging();
    while (hold) pause();
    if (scenario == "none" || scenario == "user-logging") return 0;
    return ProbeRunScenario(scenario, options.threads);
}

// "none": lets the kit finish what it started: the work queue, and uploads
// still under way (a package leaves "prepared" when it was sent), 10 s at most.
// "exit": leaves at once, whatever the kit still has under way.
int kitScenario(const std::string& scenario) {
    if (scenario == "exit") {
        std::fflush(stdout);
        _exit(0);
    }
    if (scenario != "none") return ProbeRunScenario(scenario, 0);
    auto controller = Blackbox::sharedInstance()->crashReportingController();
    if (!controller) return 0;
    controller->operationQueue()->waitUntilAllOperationsAreFinished();
    for (int i = 0; i < 1000 && !controller->fileManager()->preparedPathContents().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    controller->operationQueue()->waitUntilAllOperationsAreFinished();
    return 0;
}

// A delegate that wants one signal delivered as a signal rather than as an
// exception of the port.
class DeliverSignalDelegate : public BlackboxDelegate {
public:
    explicit DeliverSignalDelegate(int signal) : signal_(signal) {}
    unsigned implementedOperations() const override { return EnsureDeliveryOfUnixSignal; }
    bool blackboxEnsureDeliveryOfUnixSignal(Blackbox&, int signal) override { return signal == signal_; }

private:
    int signal_;
};

int kit(int argc, char** argv) {
    bool debug = false;
    double runLoop = -1;
    int deliverSignal = 0;
    std::string scenario;
    for (int i = 2; i < argc; ++i) {
        std::string argument = argv[i];
        if (argument == "--debug") debug = true;
        else if (argument == "--run-loop" && i + 1 < argc) runLoop = std::atof(argv[++i]);
        else if (argument == "--scenario" && i + 1 < argc) scenario = argv[++i];
        else if (argument == "--deliver-signal" && i + 1 < argc) deliverSignal = std::atoi(argv[++i]);
        else return usage();
    }
    if (scenario.empty()) return usage();
    QCoreApplication application(argc, argv);
    if (debug) Beacon::sharedSDK()->setDebug(true);
    if (deliverSignal) Blackbox::sharedInstance()->setDelegate(std::make_shared<DeliverSignalDelegate>(deliverSignal));
    Blackbox::registerKitClass(BCNKitRegistry::shared());
    Tally::registerKitClass(BCNKitRegistry::shared());
    auto started = std::chrono::steady_clock::now();
    try {
        Beacon::with({std::shared_ptr<BCNKitInstance>(Blackbox::sharedInstance())});
    } catch (const BCNException& exception) {
        std::fprintf(stderr, "kits not started: %s\n", exception.reason().c_str());
    }
    double startSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    auto controller = Blackbox::sharedInstance()->crashReportingController();
    auto report = controller ? controller->currentReport() : nullptr;
    struct sigaction abortAction {};
    sigaction(SIGABRT, nullptr, &abortAction);
    std::printf("kit-started=%d\ntally-started=%d\nstart-seconds=%.6f\nreport=%s\nabort-action=%s\n",
                Blackbox::sharedInstance()->isBlackboxStarted() ? 1 : 0,
                Tally::sharedInstance()->analyticsController() ? 1 : 0, startSeconds,
                report ? report->path().c_str() : "", abortAction.sa_handler == SIG_DFL ? "default" : "handler");
    std::fflush(stdout);
    if (runLoop < 0) return kitScenario(scenario);
    dispatch::Queue::main()->async([] {
        std::printf("first-turn-at=%lld\n", static_cast<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                 std::chrono::steady_clock::now().time_since_epoch())
                                                 .count()));
        std::fflush(stdout);
    });
    int status = 0;
    QTimer::singleShot(static_cast<int>(runLoop * 1000), [&] {
        status = kitScenario(scenario);
        QCoreApplication::exit(status);
    });
    QCoreApplication::exec();
    return status;
}

}  // namespace

int ProbePackage(int argc, char** argv);

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "core") == 0) return core(argc, argv);
    if (argc == 3 && std::strcmp(argv[1], "read") == 0) return readFile(argv[2]);
    if (argc >= 2 && std::strcmp(argv[1], "symbolicate") == 0) return symbolicate(argc, argv);
    if (argc >= 2 && std::strcmp(argv[1], "kit") == 0) return kit(argc, argv);
    if (argc >= 2 && std::strcmp(argv[1], "package") == 0) {
        int status = ProbePackage(argc, argv);
        return status == 2 ? usage() : status;
    }
    return usage();
}
