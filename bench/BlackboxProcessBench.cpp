// The crash kit's process recording outside a crash:
// - image registration (what set-up does: every loaded image's details into
//   the table) with Qt Widgets linked, beside a bare dl_iterate_phdr walk;
// - suspending, reading and resuming 50 threads beside glibc's own round over
//   every thread (setresuid() to the current ids signals each thread and
//   waits for it).
//   blackbox_process_bench
#include <link.h>
#include <sys/types.h>
#include <unistd.h>

#include <QWidget>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

#include "BenchProcess.h"
#include "platform/dispatch/Queue.h"
#include "sdk/blackbox/BBXBinaryImage.h"
#include "sdk/blackbox/BBXContext.h"
#include "sdk/blackbox/BBXProcess.h"

namespace {

constexpr int kRounds = 50;
constexpr int kThreads = 50;

template <class Body>
double medianMs(int rounds, Body body) {
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        auto start = std::chrono::steady_clock::now();
        body();
        times.push_back(bench::ms(std::chrono::steady_clock::now() - start));
    }
    return bench::median(times);
}

int countImages() {
    int count = 0;
    dl_iterate_phdr([](dl_phdr_info*, size_t, void* data) -> int { ++*static_cast<int*>(data); return 0; }, &count);
    return count;
}

}  // namespace

int main() {
    // Qt Widgets and what it pulls in are loaded, as in the program.
    volatile auto keepWidgets = &QWidget::show;
    (void)keepWidgets;

    bench::Home home = bench::makeHome("blackbox-process-bench");
    BBXContextInitData data;
    data.apiKey = "bench-key";
    std::string dir = home.root.string();
    data.reportPath = dir.c_str();
    BBXContextInitialize(&data);
    while (!BBXContextIsInitialized()) std::this_thread::yield();

    int images = countImages();
    double walk = medianMs(kRounds, [] { countImages(); });
    double registration = medianMs(kRounds, [] { BBXBinaryImageInit(); });
    BBXContextBinaryImagesQueue()->sync([] {});

    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&stop] {
            while (!stop.load()) usleep(1000);
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    static BBXProcess process;
    int recorded = 0;
    double suspension = medianMs(kRounds, [&] {
        BBXProcessInit(&process, BBXThreadSelf(), nullptr);
        BBXProcessSuspendAllOtherThreads(&process);
        BBXThreadState state;
        recorded = 0;
        for (int i = 0; i < process.threadCount; ++i)
            recorded += BBXProcessGetThreadState(&process, process.threads[i], &state) ? 1 : 0;
        BBXProcessResumeAllOtherThreads(&process);
    });
    double glibcRound = medianMs(kRounds, [] {
        uid_t real, effective, saved;
        getresuid(&real, &effective, &saved);
        setresuid(real, effective, saved);
    });
    stop.store(true);
    for (auto& thread : threads) thread.join();
    std::filesystem::remove_all(home.root);

    std::printf("images loaded: %d\n", images);
    std::printf("dl_iterate_phdr walk, median: %.1f us\n", walk * 1000);
    std::printf("image registration, median:   %.1f us (target <= 20 ms)\n", registration * 1000);
    std::printf("threads in the process: %d, states read: %d\n", process.threadCount, recorded);
    std::printf("suspend, read, resume, median: %.3f ms\n", suspension);
    std::printf("glibc setresuid round, median: %.3f ms\n", glibcRound);
    std::printf("ratio: %.2fx (target <= 3x)\n", suspension / glibcRound);
    return 0;
}
