// The crash kit's crash path end to end: a child with 20 threads parked 64
// frames deep faults on its main thread; the time from the fault to the
// child's end (seen through a pidfd) and the size of the report it leaves,
// 50 runs, beside the kernel's core dump of the same child without the kit.
//   blackbox_crash_bench            (the peer needs core_pattern "core")
//   BLACKBOX_CRASH_BENCH_RUNS=N     fewer or more runs
//   BLACKBOX_CRASH_BENCH_KEEP=1     also lists the last kit report's files
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/ThreadSignalStack.h"
#include "sdk/blackbox/BBXContext.h"
#include "sdk/blackbox/BBXUtilities.h"

namespace {

constexpr int kRuns = 50;
constexpr int kThreads = 20;
constexpr int kDepth = 64;

std::atomic<int> gParked{0};
std::atomic<bool> gStop{false};  // never set: the child ends by its fault

__attribute__((noinline)) void descend(int depth) {
    if (depth > 0) {
        descend(depth - 1);
        asm volatile("" ::: "memory");
        return;
    }
    gParked.fetch_add(1);
    while (!gStop.load()) pause();
}

// Through a pointer the compiler cannot see is null, or it would make the
// store a trap instruction.
int* volatile gNowhere = nullptr;
__attribute__((noinline)) void crashHere() { *gNowhere = 1; }

uint64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000ull + static_cast<uint64_t>(now.tv_nsec);
}

// The child: the kit (unless peer) and the threads, then the fault; the
// fault's time goes to the pipe first.
[[noreturn]] void child(const std::string& folder, bool withKit, int timeFD) {
    std::string session = BBXLowercaseUUIDString();
    if (withKit) {
        BBXContextInitData data;
        data.apiKey = "bench-key";
        data.reportPath = folder.c_str();
        data.sessionID = session.c_str();
        data.installID = session.c_str();
        data.maxCustomExceptions = 16;
        data.logBufferSize = 65536;
        data.maxCustomKeys = 16;
        BBXContextInitialize(&data);
        while (!BBXContextIsInitialized()) usleep(1000);
    }
    for (int i = 0; i < kThreads; ++i) std::thread([] { descend(kDepth); }).detach();
    while (gParked.load() < kThreads) usleep(1000);
    uint64_t at = monotonicNs();
    if (write(timeFD, &at, sizeof at) != static_cast<ssize_t>(sizeof at)) _exit(3);
    crashHere();
    _exit(2);
}

struct Run {
    double ms = -1;
    uint64_t bytes = 0;
    bool crashed = false;
};

uint64_t folderBytes(const std::filesystem::path& folder) {
    uint64_t total = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        if (entry.is_regular_file()) total += entry.file_size();
    return total;
}

Run runOnce(const std::filesystem::path& folder, bool withKit) {
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    int fds[2];
    if (pipe(fds) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (chdir(folder.c_str()) != 0) _exit(4);
        if (!withKit) {
            rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
            setrlimit(RLIMIT_CORE, &unlimited);
        }
        child(folder.string(), withKit, fds[1]);
    }
    close(fds[1]);
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    uint64_t faultAt = 0;
    ssize_t got = read(fds[0], &faultAt, sizeof faultAt);
    close(fds[0]);
    Run run;
    pollfd wait{pidfd, POLLIN, 0};
    poll(&wait, 1, 20000);
    uint64_t endedAt = monotonicNs();
    int status = 0;
    waitpid(pid, &status, 0);
    close(pidfd);
    if (got == static_cast<ssize_t>(sizeof faultAt)) run.ms = static_cast<double>(endedAt - faultAt) / 1e6;
    run.crashed = WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV;
    if (!run.crashed)
        std::fprintf(stderr, "child ended with %s %d\n", WIFSIGNALED(status) ? "signal" : "status",
                     WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status));
    run.bytes = folderBytes(folder);
    return run;
}

double percentile(std::vector<double> values, double share) {
    if (values.empty()) return -1;
    std::sort(values.begin(), values.end());
    size_t index = static_cast<size_t>(share * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

void report(const char* name, const std::vector<Run>& runs) {
    std::vector<double> times;
    std::vector<double> sizes;
    int crashed = 0;
    for (const Run& run : runs) {
        if (run.ms >= 0) times.push_back(run.ms);
        sizes.push_back(static_cast<double>(run.bytes));
        crashed += run.crashed ? 1 : 0;
    }
    std::printf("%-10s fault to exit: median %.1f ms, p99 %.1f ms; size: median %.0f KiB, largest %.0f KiB; "
                "%d of %zu ended by SIGSEGV\n",
                name, percentile(times, 0.5), percentile(times, 0.99), percentile(sizes, 0.5) / 1024,
                percentile(sizes, 1.0) / 1024, crashed, runs.size());
}

std::string corePattern() {
    std::ifstream in("/proc/sys/kernel/core_pattern");
    std::string line;
    std::getline(in, line);
    return line;
}

}  // namespace

int main() {
    auto root = std::filesystem::temp_directory_path() / "blackbox-crash-bench";
    int runs = std::getenv("BLACKBOX_CRASH_BENCH_RUNS") ? std::atoi(std::getenv("BLACKBOX_CRASH_BENCH_RUNS")) : kRuns;
    std::printf("%d threads parked %d frames deep, %d runs each\n", kThreads, kDepth, runs);
    std::printf("reserved in advance: context mapping %zu KiB writable (two %zu KiB handler stacks within) + %zu KiB "
                "read-only + guard pages; %zu KiB alternate stack per dispatch thread\n",
                BBXContextWritableRegionSize() / 1024, kBBXHandlerStackSize / 1024,
                BBXContextReadOnlyRegionSize() / 1024, dispatch::kThreadSignalStackSize / 1024);
    std::vector<Run> kit;
    for (int i = 0; i < runs; ++i) kit.push_back(runOnce(root / "kit", true));
    report("kit", kit);
    std::string pattern = corePattern();
    if (pattern != "core") {
        std::printf("core dump    skipped: /proc/sys/kernel/core_pattern is \"%s\", not \"core\"\n", pattern.c_str());
    } else {
        std::vector<Run> peer;
        for (int i = 0; i < runs; ++i) peer.push_back(runOnce(root / "core", false));
        report("core dump", peer);
    }
    // What the last kit run left, file by file.
    if (std::getenv("BLACKBOX_CRASH_BENCH_KEEP")) {
        for (const auto& entry : std::filesystem::directory_iterator(root / "kit"))
            std::printf("  %s %ju\n", entry.path().filename().c_str(), static_cast<uintmax_t>(entry.file_size()));
    }
    std::filesystem::remove_all(root);
    return 0;
}
