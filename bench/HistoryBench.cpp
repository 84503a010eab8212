// Trimming a long history: 100,000 clippings in the store, 1,000 more captured,
// and the pasteboard manager trims back to a limit of 100,000 (the deletions
// saved together through the main context into the parent that writes the
// file). Beside it, the pass over all identifiers that removes clippings
// sharing one, alone (limit 0 trims nothing by count). Both are timed until the
// parent context has written everything; "main_ms" is the part the main thread
// spends in the trim itself.
//
//   build-rel/bench/history_bench

#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "kit/Clipping.h"
#include "kit/TLDatabaseManager.h"
#include "kit/TLMacPasteboard.h"
#include "kit/TLPasteboardManager.h"
#include "kit/TLUserDefaultsKeys.h"
#include "platform/desktop/MemoryPasteboard.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/foundation/UserDefaults.h"

namespace {

namespace fs = std::filesystem;

constexpr int64_t kHistory = 100000;
constexpr int64_t kCaptured = 1000;

struct Bench {
    std::unique_ptr<TLDatabaseManager> database;
    std::shared_ptr<TLPasteboardManager> manager;
    double nextDate = 1e9;  // seconds; every new clipping is newer than the last

    static Bench& shared() {
        static Bench* bench = new Bench();
        return *bench;
    }

    Bench() {
        char pattern[] = "/tmp/tavlo-history-bench-XXXXXX";
        fs::path home = ::mkdtemp(pattern);
        for (const char* var : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"}) {
            fs::create_directories(home / var);
            ::setenv(var, (home / var).c_str(), 1);
        }
        setLimit(0);
        database = std::make_unique<TLDatabaseManager>(TLDatabaseManager::Configuration{
            fs::path(TAVLO_SOURCE_DIR) / "resources/Tavlo.momd", fs::path(std::getenv("XDG_DATA_HOME")) / "Tavlo"});
        auto general = std::make_shared<TLMacPasteboard>();
        general->setPasteboard(std::make_shared<desktop::MemoryPasteboard>());
        TLPasteboardManager::Configuration configuration;
        configuration.generalPasteboard = general;
        configuration.managedObjectContext = database->managedObjectContext();
        manager = std::make_shared<TLPasteboardManager>(std::move(configuration));
        add(kHistory);
    }

    static void setLimit(int64_t limit) {
        foundation::UserDefaults::applicationGroup()->setInteger(limit, TLUserDefaultsClipboardSize);
    }

    // New clippings of a few hundred bytes of text, saved at once.
    void add(int64_t count) {
        auto context = database->managedObjectContext();
        for (int64_t i = 0; i < count; ++i) {
            auto c = std::static_pointer_cast<Clipping>(context->insertNewObject(Clipping::kEntityName));
            c->setClippingID(Clipping::makeClippingID());
            c->setText("Clipping " + std::to_string(nextDate) + std::string(300, 'x'));
            c->setTavloDate(foundation::Date(nextDate));
            nextDate += 1;
        }
        (void)context->save();
        settle();
    }

    // Waits for the parent context's writes and the duplicate pass, then for what
    // they handed to the main queue.
    void settle() {
        database->parentManagedObjectContext()->performBlockAndWait([] {});
        dispatch::MainQueue::runUntilIdle();
    }
};

void BM_TrimBy1000(benchmark::State& state) {
    Bench& bench = Bench::shared();
    double mainThread = 0;
    for (auto _ : state) {
        state.PauseTiming();
        Bench::setLimit(0);
        bench.add(kCaptured);
        Bench::setLimit(kHistory);
        state.ResumeTiming();
        auto start = std::chrono::steady_clock::now();
        bench.manager->trimClipboardHistory();
        mainThread += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        bench.settle();
    }
    // The part the main thread waits for; the rest is the parent context's write
    // and the duplicate pass, both on the parent's queue.
    state.counters["main_ms"] = benchmark::Counter(mainThread, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_TrimBy1000)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_DuplicatePass(benchmark::State& state) {
    Bench& bench = Bench::shared();
    Bench::setLimit(0);
    for (auto _ : state) {
        bench.manager->trimClipboardHistory();
        bench.settle();
    }
}
BENCHMARK(BM_DuplicatePass)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
