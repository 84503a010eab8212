// The capture context's cost at start-up: the time from BBXContextInitialize
// to an initialised context, and how much of its mapping is resident then,
// beside the same program started without a context. 50 runs each.
//   blackbox_context_bench               runs both sides and prints the table
//   blackbox_context_bench child MODE DIR    (one run; MODE context or bare)
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchProcess.h"
#include "sdk/blackbox/BBXContext.h"
#include "sdk/blackbox/BBXUtilities.h"

namespace {

constexpr int kRuns = 50;

// Resident KiB of the mappings inside [start, end), from /proc/self/smaps.
long residentKiB(uintptr_t start, uintptr_t end) {
    std::ifstream smaps("/proc/self/smaps");
    long total = 0;
    bool inside = false;
    for (std::string line; std::getline(smaps, line);) {
        auto dash = line.find('-');
        if (dash != std::string::npos && dash < 17 && line.find(' ') > dash) {
            uintptr_t from = std::stoull(line.substr(0, dash), nullptr, 16);
            inside = from >= start && from < end;
        } else if (inside && line.rfind("Rss:", 0) == 0) {
            total += std::atol(line.c_str() + 4);
        }
    }
    return total;
}

int child(const std::string& mode, const std::string& dir) {
    if (mode == "bare") return 0;
    BBXContextInitData data;
    data.apiKey = "bench-key";
    data.reportPath = dir.c_str();
    std::string session = BBXLowercaseUUIDString();
    data.sessionID = session.c_str();
    data.maxCustomKeys = 16;
    data.maxCustomExceptions = 16;
    data.logBufferSize = 65536;
    auto start = std::chrono::steady_clock::now();
    BBXContextInitialize(&data);
    while (!BBXContextIsInitialized()) std::this_thread::yield();
    double elapsed = bench::ms(std::chrono::steady_clock::now() - start);
    BBXAllocator* allocator = BBXContextGetAllocator();
    auto base = reinterpret_cast<uintptr_t>(allocator->base);
    long resident = residentKiB(base, base + BBXAllocatorMappingSize(allocator));
    std::printf("%.3f %ld\n", elapsed, resident);
    return 0;
}

// Runs one child, answering its wall time and what it printed.
double runChild(const std::string& self, const std::string& mode, const std::string& dir, std::string& output) {
    int out[2];
    if (pipe(out) != 0) return -1;
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        execl(self.c_str(), self.c_str(), "child", mode.c_str(), dir.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    char buffer[256];
    output.clear();
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) output.append(buffer, static_cast<size_t>(n));
    close(out[0]);
    waitpid(pid, nullptr, 0);
    return bench::ms(std::chrono::steady_clock::now() - start);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "child") == 0) return child(argv[2], argv[3]);
    std::string self = argv[0];
    bench::Home home = bench::makeHome("blackbox-context-bench");
    std::vector<double> bare, withContext, initialise, resident;
    std::string output;
    for (int i = 0; i < kRuns; ++i) {
        std::string dir = (home.root / std::to_string(i)).string();
        std::filesystem::create_directories(dir);
        bare.push_back(runChild(self, "bare", dir, output));
        withContext.push_back(runChild(self, "context", dir, output));
        double ms = 0;
        long kib = 0;
        std::istringstream(output) >> ms >> kib;
        initialise.push_back(ms);
        resident.push_back(static_cast<double>(kib));
    }
    std::filesystem::remove_all(home.root);
    std::printf("runs: %d each\n", kRuns);
    std::printf("process without context, median: %.2f ms\n", bench::median(bare));
    std::printf("process with context, median:    %.2f ms\n", bench::median(withContext));
    std::printf("added to start-up, median:       %.2f ms (target <= 10 ms)\n",
                bench::median(withContext) - bench::median(bare));
    std::printf("BBXContextInitialize to initialised, median: %.2f ms, max %.2f ms\n", bench::median(initialise),
                *std::max_element(initialise.begin(), initialise.end()));
    std::printf("mapping resident, median: %.0f KiB, max %.0f KiB (target <= 64 KiB)\n", bench::median(resident),
                *std::max_element(resident.begin(), resident.end()));
    return 0;
}
