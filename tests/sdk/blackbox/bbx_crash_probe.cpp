// A child program for the capture core's tests.
//   bbx_crash_probe core --report-dir DIR [--scenario none] [--hold] [--slow-block N SECONDS]
//       sets up the capture context for a report in DIR (API key "probe-key",
//       a fresh session, the kit settings' defaults); prints "returned" once
//       BBXContextInitialize returns and "initialized" once the context is,
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
//       and "park-levels", the addresses of ProbeLevel3, 2 and 1.
//   bbx_crash_probe core --report-dir DIR --scenario assert
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
//   bbx_crash_probe read FILE
//       prints each section of a record file as one JSON line.
#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <pwd.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cassert>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <vector>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/ThreadIdentity.h"
#include "sdk/blackbox/BBXBinaryImage.h"
#include "sdk/blackbox/BBXProcess.h"
#include "sdk/blackbox/BBXContext.h"
#include "sdk/blackbox/BBXInternalReport.h"
#include "sdk/blackbox/BBXProcessReportOperation.h"
#include "sdk/blackbox/BBXSymbolResolver.h"
#include "sdk/blackbox/BBXUserLogging.h"
#include "sdk/blackbox/BBXUtilities.h"

namespace {

int gSlowBlock = 0;
double gSlowSeconds = 0;

void slowBlock(int block) {
    if (block == gSlowBlock) std::this_thread::sleep_for(std::chrono::duration<double>(gSlowSeconds));
}

int usage() {
    std::fprintf(stderr,
                 "usage: bbx_crash_probe core --report-dir DIR [--scenario none|snapshot|assert|user-logging|frames]\n"
                 "                            [--hold]\n"
                 "                            [--slow-block N SECONDS] [--threads N] [--dlopen [--dlclose]]\n"
                 "                            [--blocked-thread] [--getpwnam] [--fill-slots]\n"
                 "       bbx_crash_probe symbolicate --report-dir DIR\n"
                 "       bbx_crash_probe read FILE\n");
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

__attribute__((noinline)) void ProbeParkWorker() {
    gParked.fetch_add(1);
    while (!gStopWorkers.load()) usleep(1000);
    asm volatile("" ::: "memory");
}
__attribute__((noinline)) static void ProbeLevel3() {
    ProbeParkWorker();
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

int core(int argc, char** argv) {
    SnapshotOptions options;
    std::string reportDir;
    std::string scenario = "none";
    bool hold = false;
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
        else if (argument == "--slow-block" && i + 2 < argc) {
            gSlowBlock = std::atoi(argv[++i]);
            gSlowSeconds = std::atof(argv[++i]);
        } else return usage();
    }
    if (reportDir.empty() || (scenario != "none" && scenario != "snapshot" && scenario != "assert" &&
                              scenario != "user-logging" && scenario != "frames"))
        return usage();
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
    BBXContextInitialize(&data);
    std::printf("returned\n");
    std::fflush(stdout);
    for (int i = 0; i < 3000 && !BBXContextIsInitialized(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!BBXContextIsInitialized()) return 1;
    std::printf("initialized\n");
    std::fflush(stdout);
    if (scenario == "snapshot") return snapshot(reportDir, argv[0], options);
    if (scenario == "assert") failAssertion(reportDir);
    if (scenario == "user-logging") recordUserLogging();
    if (scenario == "frames") return recordFrames(reportDir);
    while (hold) pause();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "core") == 0) return core(argc, argv);
    if (argc == 3 && std::strcmp(argv[1], "read") == 0) return readFile(argv[2]);
    if (argc >= 2 && std::strcmp(argv[1], "symbolicate") == 0) return symbolicate(argc, argv);
    return usage();
}
