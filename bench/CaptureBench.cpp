// Capture on a real X server, as the running application does it: another
// program copies with xclip, the 0.25 s tick drives the pasteboard manager, and
// the time runs until the clipping's row is in the store file. A second thread
// watches the file; a 1 ms heartbeat on the main thread measures the longest
// time the main thread was held (a frame is 16 ms).
//
//   xvfb-run -a build-rel/bench/capture_bench

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QRandomGenerator>
#include <QTimer>
#include <sqlite3.h>

#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "kit/Clipping.h"
#include "kit/NSTimerBlocks.h"
#include "kit/TLDatabaseManager.h"
#include "kit/TLMacPasteboard.h"
#include "kit/TLPasteboardManager.h"
#include "kit/TLUserDefaultsKeys.h"
#include "platform/desktop/ClipboardReader.h"
#include "platform/desktop/SystemPasteboard.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/store/Context.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Bench {
    fs::path home;
    std::unique_ptr<QGuiApplication> app;
    std::unique_ptr<TLDatabaseManager> database;
    std::shared_ptr<TLPasteboardManager> manager;
    std::shared_ptr<NSTimerBlocks::Timer> tick;
    fs::path image;
    std::atomic<int64_t> rows{0};
    std::atomic<bool> stop{false};
    std::thread watcher;
    std::unique_ptr<QTimer> heartbeat;
    Clock::time_point lastBeat = Clock::now();
    Clock::duration longestGap{};
    // The first tick after the copy: the capture's own time runs from it.
    std::optional<Clock::time_point> firstTick;
    double captureSeconds = 0;
    const double startedAt = foundation::Date::now().timeIntervalSince1970() - 1;
    double nextHistoryDate = 1.6e9;

    static Bench& shared() {
        static Bench* bench = new Bench();
        return *bench;
    }

    Bench() {
        char pattern[] = "/tmp/tavlo-capture-bench-XXXXXX";
        home = ::mkdtemp(pattern);
        for (const char* var : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"}) {
            fs::path folder = home / var;
            fs::create_directories(folder);
            ::setenv(var, folder.c_str(), 1);
        }
        static int argc = 1;
        static char name[] = "capture_bench";
        static char* argv[] = {name, nullptr};
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        app = std::make_unique<QGuiApplication>(argc, argv);
        foundation::UserDefaults::applicationGroup()->setBool(true, TLUserDefaultsCaptureClipboard);
        fs::path container = fs::path(std::getenv("XDG_DATA_HOME")) / "Tavlo";
        database = std::make_unique<TLDatabaseManager>(
            TLDatabaseManager::Configuration{fs::path(TAVLO_SOURCE_DIR) / "resources/Tavlo.momd", container});
        auto general = std::make_shared<TLMacPasteboard>();
        general->setPasteboard(std::shared_ptr<desktop::Pasteboard>(desktop::SystemPasteboard::create()));
        TLPasteboardManager::Configuration configuration;
        configuration.generalPasteboard = general;
        configuration.managedObjectContext = database->managedObjectContext();
        configuration.frontApplication = desktop::FrontApplication::create();
        configuration.clipboardReader = desktop::ClipboardReader::open();
        manager = std::make_shared<TLPasteboardManager>(std::move(configuration));
        tick = NSTimerBlocks::scheduledTimerWithTimeInterval(
            0.25,
            [this] {
                if (!firstTick) firstTick = Clock::now();
                foundation::NotificationCenter::defaultCenter().post(TLTimerTickNotification);
            },
            true);

        // The row count as the file holds it, read through a connection of its own.
        auto model = database->managedObjectModel();
        watcher = std::thread([this, container, model] {
            store::Coordinator coordinator(model);
            while (!coordinator.addSQLiteStore(container / "datastore").ok()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            const store::Entity* entity = model->entity(Clipping::kEntityName);
            // Only the bench's own captures: the history it adds is older, and
            // the trim at the limit deletes from the oldest.
            const store::Value since = store::Value::date(startedAt);
            while (!stop) {
                if (auto n = coordinator.countRows(*entity, "t.\"tavloDate\" >= ?", {since})) rows = n.value();
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
        });
        heartbeat = std::make_unique<QTimer>();
        heartbeat->setTimerType(Qt::PreciseTimer);
        heartbeat->setInterval(1);
        QObject::connect(heartbeat.get(), &QTimer::timeout, [this] {
            auto now = Clock::now();
            longestGap = std::max(longestGap, now - lastBeat);
            lastBeat = now;
        });
        heartbeat->start();

        // About 20 MB of PNG: noise does not compress.
        QImage noise(2600, 2000, QImage::Format_ARGB32);
        auto* random = QRandomGenerator::global();
        for (int y = 0; y < noise.height(); ++y) {
            auto* line = reinterpret_cast<quint32*>(noise.scanLine(y));
            for (int x = 0; x < noise.width(); ++x) line[x] = random->generate();
        }
        image = home / "noise.png";
        noise.save(QString::fromStdString(image.string()), "PNG", 0);
        // The first capture reads the desktop's application entries once.
        copyAndWait("printf warm | xclip -selection clipboard");
    }

    void runEventsFor(std::chrono::milliseconds time) {
        auto end = Clock::now() + time;
        while (Clock::now() < end) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
            dispatch::MainQueue::runUntilIdle();
        }
    }

    // Old clippings of a few hundred bytes of text until the history holds
    // `size`, and the limit at `size`: each capture then trims one.
    void growHistory(int64_t size) {
        auto context = database->managedObjectContext();
        store::FetchRequest all(Clipping::kEntityName);
        int64_t have = context->count(all).valueOr(0);
        while (have < size) {
            for (int k = 0; k < 5000 && have < size; ++k, ++have) {
                auto c = std::static_pointer_cast<Clipping>(context->insertNewObject(Clipping::kEntityName));
                c->setClippingID(Clipping::makeClippingID());
                c->setText("History " + std::to_string(have) + " " + std::string(300, 'h'));
                c->setTavloDate(foundation::Date(nextHistoryDate));
                c->setAddDate(foundation::Date(nextHistoryDate));
                nextHistoryDate += 1;
            }
            (void)context->save();
        }
        database->parentManagedObjectContext()->performBlockAndWait([] {});
        foundation::UserDefaults::applicationGroup()->setInteger(size, TLUserDefaultsClipboardSize);
        runEventsFor(std::chrono::milliseconds(500));
    }

    // Copies with the shell command and waits until one more row is in the file;
    // answers the seconds from the copy to the row.
    double copyAndWait(const std::string& command) {
        // Copies come at any moment of the tick's period, not just after a save.
        runEventsFor(std::chrono::milliseconds(QRandomGenerator::global()->bounded(250)));
        int64_t before = rows;
        if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) return -1;
        auto copied = Clock::now();
        lastBeat = copied;
        longestGap = {};
        firstTick.reset();
        while (rows == before) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
            dispatch::MainQueue::runUntilIdle();
            if (Clock::now() - copied > std::chrono::seconds(120)) return -1;
        }
        auto saved = Clock::now();
        captureSeconds = std::chrono::duration<double>(saved - firstTick.value_or(copied)).count();
        return std::chrono::duration<double>(saved - copied).count();
    }
};

struct Figures {
    std::vector<double> latencies, captures;
    double stallMs = 0;

    void add(const Bench& bench, double seconds) {
        latencies.push_back(seconds);
        captures.push_back(bench.captureSeconds);
        stallMs = std::max(stallMs, std::chrono::duration<double, std::milli>(bench.longestGap).count());
    }
    // Copy to row (median, max); first tick to row (median, max): the capture's
    // own cost; the longest the main thread was held.
    void report(benchmark::State& state) {
        if (latencies.empty()) return;
        std::sort(latencies.begin(), latencies.end());
        std::sort(captures.begin(), captures.end());
        state.counters["median_ms"] = latencies[latencies.size() / 2] * 1000;
        state.counters["max_ms"] = latencies.back() * 1000;
        state.counters["tick_to_row_median_ms"] = captures[captures.size() / 2] * 1000;
        state.counters["tick_to_row_max_ms"] = captures.back() * 1000;
        state.counters["main_stall_ms"] = stallMs;
    }
};

void BM_CopyTextToSaved(benchmark::State& state) {
    Bench& bench = Bench::shared();
    Figures figures;
    int n = 0;
    for (auto _ : state) {
        double seconds = bench.copyAndWait("printf 'text %d' " + std::to_string(n++) + " | xclip -selection clipboard");
        if (seconds < 0) return state.SkipWithError("no clipping saved");
        state.SetIterationTime(seconds);
        figures.add(bench, seconds);
    }
    figures.report(state);
}
BENCHMARK(BM_CopyTextToSaved)->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);

// Short texts captured over a history of range(0) clippings with the limit
// there, so every capture also trims one: the main thread's longest stall.
void BM_CopyTextAtHistory(benchmark::State& state) {
    Bench& bench = Bench::shared();
    bench.growHistory(state.range(0));
    Figures figures;
    int n = 0;
    for (auto _ : state) {
        double seconds = bench.copyAndWait("printf 'history text %d %d' " + std::to_string(state.range(0)) + " " +
                                           std::to_string(n++) + " | xclip -selection clipboard");
        if (seconds < 0) return state.SkipWithError("no clipping saved");
        state.SetIterationTime(seconds);
        figures.add(bench, seconds);
    }
    figures.report(state);
    foundation::UserDefaults::applicationGroup()->removeObjectForKey(TLUserDefaultsClipboardSize);
}
BENCHMARK(BM_CopyTextAtHistory)->Arg(1000)->Arg(20000)->Arg(100000)->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);

void BM_CopyImage20MBToSaved(benchmark::State& state) {
    Bench& bench = Bench::shared();
    Figures figures;
    state.counters["png_mb"] = double(fs::file_size(bench.image)) / 1e6;
    for (auto _ : state) {
        double seconds = bench.copyAndWait("xclip -selection clipboard -t image/png -i '" + bench.image.string() + "'");
        if (seconds < 0) return state.SkipWithError("no clipping saved");
        state.SetIterationTime(seconds);
        figures.add(bench, seconds);
    }
    figures.report(state);
}
// Resident memory as the kernel counts it: now, and the peak since the last reset.
int64_t statusKiB(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0) return std::strtoll(line.c_str() + std::strlen(field), nullptr, 10);
    return 0;
}
void resetPeakRSS() { std::ofstream("/proc/self/clear_refs") << "5"; }

// A text of `bytes` bytes in lines of words, in a file xclip copies from.
fs::path largeText(const fs::path& folder, size_t bytes) {
    fs::path path = folder / ("text-" + std::to_string(bytes) + ".txt");
    if (fs::exists(path)) return path;
    std::string text;
    text.reserve(bytes);
    uint32_t seed = 12345;
    static const char* words[] = {"clipboard", "history", "tavlo", "lorem", "ipsum", "caf\u00E9", "large", "text"};
    while (text.size() < bytes) {
        seed = seed * 1103515245u + 12345u;
        text += words[(seed >> 16) % 8];
        text += (seed >> 8) % 12 == 0 ? '\n' : ' ';
    }
    text.resize(bytes);
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

uintmax_t storeBytes(const fs::path& container) {
    uintmax_t total = 0;
    for (const char* name : {"datastore", "datastore-wal"}) {
        std::error_code error;
        auto size = fs::file_size(container / name, error);
        if (!error) total += size;
    }
    return total;
}

// A large text copied with xclip to its row: copy to row, peak resident
// growth and store growth, each against the text's size.
void copyLargeText(benchmark::State& state, size_t bytes) {
    Bench& bench = Bench::shared();
    fs::path text = largeText(bench.home, bytes);
    fs::path container = fs::path(std::getenv("XDG_DATA_HOME")) / "Tavlo";
    Figures figures;
    double peakGrowth = 0, storeGrowth = 0, shortAfter = 0;
    for (auto _ : state) {
        int64_t before = statusKiB("VmRSS:");
        resetPeakRSS();
        uintmax_t storeBefore = storeBytes(container);
        double seconds = bench.copyAndWait("xclip -selection clipboard -i '" + text.string() + "'");
        if (seconds < 0) return state.SkipWithError("no clipping saved");
        int64_t peak = statusKiB("VmHWM:");
        state.SetIterationTime(seconds);
        figures.add(bench, seconds);
        peakGrowth = std::max(peakGrowth, double(peak - before) * 1024 / double(bytes));
        storeGrowth = std::max(storeGrowth, double(storeBytes(container) - storeBefore) / double(bytes));
        // A short text copied right after the large one is saved; a new one
        // each time, since a repeat refreshes its clipping and adds no row.
        static int shortTexts = 0;
        double next = bench.copyAndWait("printf 'after large %d, %d' " + std::to_string(bytes) + " " +
                                        std::to_string(++shortTexts) + " | xclip -selection clipboard");
        if (next < 0) return state.SkipWithError("the short text after the large one was not saved");
        shortAfter = std::max(shortAfter, next);
    }
    figures.report(state);
    state.counters["peak_rss_growth_x"] = peakGrowth;
    state.counters["store_growth_x"] = storeGrowth;
    state.counters["short_text_after_ms"] = shortAfter * 1000;
}
void BM_CopyText10MiBToSaved(benchmark::State& state) { copyLargeText(state, size_t{10} << 20); }
void BM_CopyText60MiBToSaved(benchmark::State& state) { copyLargeText(state, size_t{60} << 20); }
BENCHMARK(BM_CopyText10MiBToSaved)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyText60MiBToSaved)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);

// The floor: the same text inserted with plain SQLite in one statement, into
// a table of the same shape (without the search index), synchronous as the store.
void plainSQLite(benchmark::State& state, size_t bytes) {
    Bench& bench = Bench::shared();
    std::ifstream in(largeText(bench.home, bytes), std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    fs::path path = bench.home / "plain.sqlite";
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, "PRAGMA journal_mode=WAL; CREATE TABLE IF NOT EXISTS c (pk INTEGER PRIMARY KEY, text TEXT)", nullptr,
                 nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO c (text) VALUES (?)", -1, &insert, nullptr);
    for (auto _ : state) {
        auto start = Clock::now();
        sqlite3_bind_text64(insert, 1, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8);
        sqlite3_step(insert);
        sqlite3_reset(insert);
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    }
    sqlite3_finalize(insert);
    sqlite3_close(db);
}
void BM_PlainSQLiteInsertText10MiB(benchmark::State& state) { plainSQLite(state, size_t{10} << 20); }
void BM_PlainSQLiteInsertText60MiB(benchmark::State& state) { plainSQLite(state, size_t{60} << 20); }
BENCHMARK(BM_PlainSQLiteInsertText10MiB)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainSQLiteInsertText60MiB)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);

BENCHMARK(BM_CopyImage20MBToSaved)->UseManualTime()->Iterations(8)->Unit(benchmark::kMillisecond);

// The peer: another program reading the same 20 MB image off the clipboard,
// the X11 transfer alone that every capture of it includes.
void BM_XclipReadsImage20MB(benchmark::State& state) {
    Bench& bench = Bench::shared();
    if (std::system(("xclip -selection clipboard -t image/png -i '" + bench.image.string() + "' >/dev/null 2>&1").c_str()) != 0)
        return state.SkipWithError("xclip failed");
    for (auto _ : state) {
        auto start = Clock::now();
        if (std::system("xclip -o -selection clipboard -t image/png >/dev/null 2>&1") != 0)
            return state.SkipWithError("xclip failed");
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    }
}
BENCHMARK(BM_XclipReadsImage20MB)->UseManualTime()->Iterations(8)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("DISPLAY")) {
        std::fprintf(stderr, "capture_bench needs an X server: run it under xvfb-run -a\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    Bench& bench = Bench::shared();
    bench.stop = true;
    bench.watcher.join();
    bench.tick->invalidate();
    std::error_code ec;
    fs::remove_all(bench.home, ec);
    return 0;
}
