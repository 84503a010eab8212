// The sync engine against its cloud store, embedded and on PostgreSQL (a
// server the benchmark starts as the tests do), in one run:
//
// - BM_FirstFetchAndApply/0 (embedded), /1 (PostgreSQL): another device has
//   saved 10,000 clippings, 2,000 of them with a PNG asset of 100 KB; the
//   engine fetches everything from no token into an empty store and applies it,
//   timed to its completion (every record saved in the store). peak_rss_mb is
//   the process's peak resident memory during the run (reset before it).
// - BM_BareFetch/0, /1: the layer's own change fetch of the same records, page
//   by page, asset files written and removed, nothing applied.
// - BM_PlainLibpqInsert/C/A: the floor, C rows of the records' fields and A of
//   100 KB in one transaction through libpq (the download's rows, then the
//   first upload's).
// - BM_MarkNeverUploaded: the launch pass's marking, as the engine runs it,
//   over 100,000 never-uploaded clippings, some loaded in the main context;
//   BM_MarkChangedSinceUpload the same over 100,000 uploaded clippings, 1,000
//   edited since; beside BM_MarkByFetchAndSave, fetching the objects, setting
//   the flag on each and saving.
// - BM_FirstUpload/0, /1: one upload pass of 10,000 clippings with a PNG of
//   100 KB each, with the longest main-queue turn meanwhile.
// - BM_ReconcileComparison: the reconcile's comparison of 50,000 records in
//   step with the store, beside BM_ReconcilePerRecordFilter, the per-record
//   array filter (timed on 1,000 records, scaled).
// - BM_CopyToOtherClipboard/0, /1: 100 copies, one at a time, on device A (a
//   sync_device process of its own) until each text is on the clipboard of
//   device B (this process: its engine, its push channel and the push
//   handling the application runs); median_ms and p95_ms. The floor is the
//   layer's commit-to-push time, cloud_bench's BM_CommitToPushInProcess.
//
//   build/rel/bench/sync_bench
#include <benchmark/benchmark.h>

#include <libpq-fe.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <thread>

#include "BenchMain.h"
#include "BenchProcess.h"
#include "SyncBenchAccount.h"
#include "kit/Asset.h"
#include "kit/Clipping.h"
#include "kit/List.h"
#include "kit/NSFileManagerExtras.h"
#include "kit/TLClipboardSync.h"
#include "kit/TLCloudKitSyncManager.h"
#include "kit/TLDatabaseManager.h"
#include "kit/TLMacPasteboard.h"
#include "kit/TLPasteboardManager.h"
#include "kit/TLSettings.h"
#include "kit/TLUserDefaultsKeys.h"
#include "platform/cloud/Container.h"
#include "platform/cloud/PushChannel.h"
#include "platform/cloud/ZoneServer.h"
#include "platform/desktop/MemoryPasteboard.h"
#include "platform/foundation/TypeIdentifier.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/Queue.h"
#include "platform/store/BatchUpdateRequest.h"
#include "platform/store/Context.h"
#include "platform/store/Predicate.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/PostgresServer.h"

namespace {

namespace fs = std::filesystem;

constexpr int kClippings = 10000;
constexpr int kAssets = 2000;
constexpr int kMarked = 100000;
using syncbench::clippingName;
using syncbench::kZone;
using syncbench::pngBytes;
using syncbench::postgres;

fs::path home() {
    static const fs::path folder = [] {
        char pattern[] = "/tmp/tavlo-sync-bench-XXXXXX";
        fs::path made = ::mkdtemp(pattern);
        for (const char* var : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"}) {
            fs::create_directories(made / var);
            ::setenv(var, (made / var).c_str(), 1);
        }
        return made;
    }();
    return folder;
}

// A new, empty account on the back-end.
cloud::Configuration account(bool onPostgres) {
    static int made = 0;
    ++made;
    cloud::Configuration configuration;
    configuration.account = "bench";
    if (onPostgres) {
        const std::string database = "sync_bench_" + std::to_string(made);
        if (!postgres() || !postgres()->createDatabase(database)) std::abort();
        configuration.backend = cloud::Configuration::kPostgreSQLBackend;
        configuration.connection = postgres()->connection(database);
    } else {
        configuration.folder = home() / ("cloud-" + std::to_string(made));
    }
    return configuration;
}

// One account per back-end, filled once by another device.
struct Account {
    cloud::Configuration configuration;

    static Account& on(bool onPostgres) {
        static Account* accounts[2] = {nullptr, nullptr};
        auto*& account = accounts[onPostgres ? 1 : 0];
        if (!account) account = new Account(onPostgres);
        return *account;
    }

    explicit Account(bool onPostgres) : configuration(account(onPostgres)) {
        syncbench::fillZone(configuration, kClippings, kAssets, home() / "upload");
    }
};

std::shared_ptr<TLDatabaseManager> emptyStore(const std::string& name) {
    const fs::path container = home() / name;
    fs::remove_all(container);
    fs::remove_all(NSFileManagerExtras::localAssetsDirectory().filePath());
    return std::make_shared<TLDatabaseManager>(
        TLDatabaseManager::Configuration{fs::path(TAVLO_SOURCE_DIR) / "resources/Tavlo.momd", container});
}

std::shared_ptr<TLPasteboardManager> pasteboardManager(const std::shared_ptr<TLDatabaseManager>& database) {
    auto general = std::make_shared<TLMacPasteboard>();
    general->setPasteboard(std::make_shared<desktop::MemoryPasteboard>());
    TLPasteboardManager::Configuration configuration;
    configuration.generalPasteboard = general;
    configuration.managedObjectContext = database->managedObjectContext();
    return std::make_shared<TLPasteboardManager>(std::move(configuration));
}

void BM_FirstFetchAndApply(benchmark::State& state) {
    const bool onPostgres = state.range(0) == 1;
    Account& source = Account::on(onPostgres);
    int run = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto database = emptyStore("apply-" + std::to_string(++run));
        auto pasteboard = pasteboardManager(database);
        auto container = cloud::Container::make("com.tavlo.Tavlo", source.configuration, "reader-" + std::to_string(run));
        auto engine = std::make_shared<TLCloudKitSyncManager>(container, database, pasteboard);
        engine->setManagedObjectContext(database->managedObjectContext());
        std::atomic<bool> done{false}, saved{false};
        bench::resetPeak();
        state.ResumeTiming();
        engine->fetchChangesFromCloudKit(std::nullopt, [&](bool success) {
            saved = success;
            done = true;
        });
        while (!done) {
            dispatch::MainQueue::runUntilIdle();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        state.PauseTiming();
        state.counters["peak_rss_mb"] = static_cast<double>(bench::selfStatusKiB("VmHWM:")) / 1024;
        if (!saved) state.SkipWithError("the fetch did not complete");
        store::FetchRequest all(Clipping::kEntityName);
        auto clippings = database->managedObjectContext()->count(all);
        if (!clippings || clippings.value() != kClippings) state.SkipWithError("not every clipping arrived");
        engine.reset();
        dispatch::MainQueue::runUntilIdle();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * (kClippings + kAssets));
}
BENCHMARK(BM_FirstFetchAndApply)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BareFetch(benchmark::State& state) {
    const bool onPostgres = state.range(0) == 1;
    Account& source = Account::on(onPostgres);
    auto server = cloud::Container::make("com.tavlo.Tavlo", source.configuration, "bare")->server().value();
    for (auto _ : state) {
        std::optional<cloud::ServerChangeToken> token;
        size_t records = 0;
        for (bool more = true; more;) {
            auto page = server->fetchChanges(kZone, token, std::nullopt);
            if (!page) {
                state.SkipWithError(page.error().line().c_str());
                break;
            }
            for (const auto& record : page.value().changed) {
                ++records;
                if (auto data = record.objectForKey("data"))
                    if (const auto* asset = std::get_if<cloud::Asset>(&*data)) fs::remove(asset->fileURL);
            }
            token = page.value().token;
            more = page.value().moreComing;
        }
        if (records != kClippings + kAssets) state.SkipWithError("not every record arrived");
    }
    state.SetItemsProcessed(state.iterations() * (kClippings + kAssets));
}
BENCHMARK(BM_BareFetch)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PlainLibpqInsert(benchmark::State& state) {
    syncbench::plainLibpqInsert(state, static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
}
// The download's rows, then the first upload's.
BENCHMARK(BM_PlainLibpqInsert)
    ->Args({kClippings, kAssets})
    ->Args({kClippings, kClippings})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// MARK: - Marking at launch

struct MarkedStore {
    std::shared_ptr<TLDatabaseManager> database;
    std::vector<std::shared_ptr<store::ManagedObject>> loaded;

    static MarkedStore& shared() {
        static MarkedStore* store = new MarkedStore("marking");
        return *store;
    }
    explicit MarkedStore(const std::string& name) : database(emptyStore(name)) {
        auto context = database->managedObjectContext();
        for (int i = 0; i < kMarked; ++i) {
            auto c = std::static_pointer_cast<Clipping>(context->insertNewObject(Clipping::kEntityName));
            c->setClippingID(clippingName(i));
            c->setText("Clipping " + std::to_string(i));
            c->setTavloDate(foundation::Date(1e9 + i));
            c->setModifiedDate(foundation::Date(1e9 + i));
            c->setSync(false);
            if (i % 1000 == 999) (void)context->save();
        }
        (void)context->save();
        settle();
        // What the browser would hold: the newest 200 loaded in the main context.
        store::FetchRequest newest(Clipping::kEntityName);
        newest.sortDescriptors = {{"tavloDate", false}};
        newest.fetchLimit = 200;
        if (auto found = context->fetch(newest)) loaded = found.value();
    }
    void settle() { database->parentManagedObjectContext()->performBlockAndWait([] {}); }
    // Every flag back to NO, untimed.
    void clearFlags() {
        auto root = database->parentManagedObjectContext();
        root->performBlockAndWait([&] {
            for (const char* entity : {Asset::kEntityName, Clipping::kEntityName, List::kEntityName}) {
                store::BatchUpdateRequest request(entity);
                request.propertiesToUpdate = {{"sync", store::Value(false)}};
                (void)store::executeBatchUpdate(*root, request);
            }
        });
        dispatch::MainQueue::runUntilIdle();
    }
};

std::shared_ptr<const store::Predicate> neverUploaded() {
    return store::Predicate::withFormat("recordSystemFields MATCHES %@ OR recordSystemFields == nil",
                                        store::Value(".{0}"))
        .value();
}

std::shared_ptr<TLCloudKitSyncManager> markingEngine(const std::shared_ptr<TLDatabaseManager>& database) {
    return std::make_shared<TLCloudKitSyncManager>(
        cloud::Container::make("com.tavlo.Tavlo", account(false), "marker"), database, pasteboardManager(database));
}

size_t markedCount(MarkedStore& marked) {
    store::FetchRequest request(Clipping::kEntityName);
    request.predicate = store::Predicate::withFormat("sync == YES").value();
    auto counted = marked.database->parentManagedObjectContext()->count(request);
    return counted ? static_cast<size_t>(counted.value()) : 0;
}

// The process's CPU time, every thread, in milliseconds.
double processCpuMilliseconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

// The launch pass's whole marking, as the engine runs it: below every
// context, then each context refreshes what it holds. Answers the CPU time
// it took on every thread.
double runMarking(TLCloudKitSyncManager& engine, MarkedStore& marked) {
    const double before = processCpuMilliseconds();
    auto root = marked.database->parentManagedObjectContext();
    root->performBlockAndWait([&] { engine.markNeverUploadedObjects(root); });
    dispatch::MainQueue::runUntilIdle();
    return processCpuMilliseconds() - before;
}

// Times the engine's marking over a store whose flags are cleared before each
// run; check says what is wrong with the result, or nothing.
template <class Check>
void timeMarking(benchmark::State& state, MarkedStore& marked, Check check) {
    auto engine = markingEngine(marked.database);
    double cpu = 0;
    for (auto _ : state) {
        state.PauseTiming();
        marked.clearFlags();
        state.ResumeTiming();
        cpu += runMarking(*engine, marked);
        state.PauseTiming();
        if (const char* wrong = check()) state.SkipWithError(wrong);
        state.ResumeTiming();
    }
    state.counters["all_threads_cpu_ms"] = cpu / static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations() * kMarked);
}

void BM_MarkNeverUploaded(benchmark::State& state) {
    auto& marked = MarkedStore::shared();
    timeMarking(state, marked, [&]() -> const char* {
        if (markedCount(marked) != kMarked) return "not every object was marked";
        if (!std::static_pointer_cast<Clipping>(marked.loaded.front())->sync().value_or(false))
            return "a loaded object did not see its flag";
        return nullptr;
    });
}
BENCHMARK(BM_MarkNeverUploaded)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

// 100,000 uploaded clippings (system fields kept), 1,000 of them edited
// since: the marking reads every candidate's change date and system fields.
struct UploadedStore : MarkedStore {
    static constexpr int kEdited = 1000;
    static UploadedStore& shared() {
        static UploadedStore* store = new UploadedStore();
        return *store;
    }
    UploadedStore() : MarkedStore("uploaded") {
        auto root = database->parentManagedObjectContext();
        root->performBlockAndWait([&] {
            store::FetchRequest all(Clipping::kEntityName);
            auto found = root->fetch(all);
            if (!found) std::abort();
            int i = 0;
            for (const auto& object : found.value()) {
                auto clipping = std::static_pointer_cast<Clipping>(object);
                const foundation::Date uploaded(1.5e9 + i);
                cloud::Record version = cloud::Record::stored(
                    Clipping::kEntityName, cloud::RecordID{*clipping->clippingID(), kZone}, {}, "tag", uploaded, uploaded);
                clipping->setRecordSystemFields(version.encodeSystemFields());
                clipping->setModifiedDate(i % (kMarked / kEdited) == 0 ? uploaded.addingTimeInterval(30) : uploaded);
                ++i;
            }
            (void)root->save();
        });
    }
};

void BM_MarkChangedSinceUpload(benchmark::State& state) {
    auto& marked = UploadedStore::shared();
    timeMarking(state, marked, [&]() -> const char* {
        return markedCount(marked) != UploadedStore::kEdited ? "not every edited object was marked" : nullptr;
    });
}
BENCHMARK(BM_MarkChangedSinceUpload)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MarkByFetchAndSave(benchmark::State& state) {
    auto& marked = MarkedStore::shared();
    for (auto _ : state) {
        state.PauseTiming();
        marked.clearFlags();
        state.ResumeTiming();
        auto context = marked.database->managedObjectContext();
        size_t updated = 0;
        for (const char* entity : {Asset::kEntityName, Clipping::kEntityName, List::kEntityName}) {
            store::FetchRequest request(entity);
            request.predicate = neverUploaded();
            if (auto found = context->fetch(request))
                for (const auto& object : found.value()) {
                    std::static_pointer_cast<TLSyncedObject>(object)->setSync(true);
                    ++updated;
                }
        }
        (void)context->save();
        marked.settle();
        if (updated != kMarked) state.SkipWithError("not every object was marked");
    }
    state.SetItemsProcessed(state.iterations() * kMarked);
}
BENCHMARK(BM_MarkByFetchAndSave)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

// MARK: - First upload

constexpr int kUploads = 10000;

// Posts a block to the main queue every millisecond from a thread of its
// own; the longest wait for one to run is the longest main-queue turn.
class Heartbeat {
public:
    Heartbeat() : thread_([this] {
        while (!stop_) {
            const auto posted = std::chrono::steady_clock::now();
            dispatch::Queue::main()->async([this, posted] {
                const double waited =
                    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - posted).count();
                double longest = longest_.load();
                while (waited > longest && !longest_.compare_exchange_weak(longest, waited)) {
                }
                // The main thread's CPU time since the previous beat ran: what
                // the blocks in between held it for, whatever the machine's
                // load did to the wall clock.
                timespec now{};
                clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
                const double cpu = static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
                if (lastCpu_ >= 0) longestCpu_ = std::max(longestCpu_.load(), cpu - lastCpu_);
                lastCpu_ = cpu;
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }) {}
    ~Heartbeat() {
        stop_ = true;
        thread_.join();
        dispatch::MainQueue::runUntilIdle();
    }
    double longestMilliseconds() const { return longest_; }
    double longestCpuMilliseconds() const { return longestCpu_; }

private:
    std::atomic<bool> stop_{false};
    std::atomic<double> longest_{0};
    std::atomic<double> longestCpu_{0};
    double lastCpu_ = -1;  // main thread only
    std::thread thread_;
};

void BM_FirstUpload(benchmark::State& state) {
    const bool onPostgres = state.range(0) == 1;
    int run = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const auto configuration = account(onPostgres);
        auto maker = cloud::Container::make("com.tavlo.Tavlo", configuration, "maker")->server().value();
        if (!maker->modifyZones({kZone}, {})) std::abort();
        // What capture left: 10,000 clippings, each with a PNG of 100 KB, marked for upload.
        auto database = emptyStore("upload-" + std::to_string(++run));
        auto context = database->managedObjectContext();
        for (int i = 0; i < kUploads; ++i) {
            const std::string id = clippingName(i), filename = "0.public.png";
            auto c = std::static_pointer_cast<Clipping>(context->insertNewObject(Clipping::kEntityName));
            c->setClippingID(id);
            c->setText("Clipping number " + std::to_string(i) + " " + std::string(80, 't'));
            c->setTavloDate(foundation::Date(1e9 + i));
            c->setAddDate(foundation::Date(1e9 + i));
            c->setModifiedDate(foundation::Date(1e9 + i));
            c->setItems(1);
            c->setSync(true);
            auto a = std::static_pointer_cast<Asset>(context->insertNewObject(Asset::kEntityName));
            a->setAssetID(id + "." + filename);
            a->setFilename(filename);
            a->setModifiedDate(foundation::Date(1e9 + i));
            a->setSync(true);
            a->setClipping(c);
            const fs::path file = NSFileManagerExtras::URLForAssetFile(id, filename)->filePath();
            fs::create_directories(file.parent_path());
            std::ofstream(file, std::ios::binary) << pngBytes(i);
            if (i % 1000 == 999) (void)context->save();
        }
        (void)context->save();
        database->parentManagedObjectContext()->performBlockAndWait([] {});
        auto engine = std::make_shared<TLCloudKitSyncManager>(
            cloud::Container::make("com.tavlo.Tavlo", configuration, "uploader-" + std::to_string(run)), database,
            pasteboardManager(database));
        engine->setManagedObjectContext(context);
        dispatch::MainQueue::runUntilIdle();
        auto heartbeat = std::make_unique<Heartbeat>();
        state.ResumeTiming();
        engine->syncDatabaseToCloudKit(nullptr);
        while (!engine->isIdle()) {
            dispatch::MainQueue::runUntilIdle();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        state.PauseTiming();
        state.counters["longest_main_turn_ms"] = heartbeat->longestMilliseconds();
        state.counters["longest_main_turn_cpu_ms"] = heartbeat->longestCpuMilliseconds();
        heartbeat.reset();
        auto zones = maker->zones();
        int64_t stored = 0;
        if (zones)
            for (const auto& zone : zones.value())
                if (zone.zoneID.zoneName == kZone.zoneName) stored = zone.records;
        if (stored != 2 * kUploads) state.SkipWithError(("the server holds " + std::to_string(stored) + " records").c_str());
        engine.reset();
        dispatch::MainQueue::runUntilIdle();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * 2 * kUploads);
}
BENCHMARK(BM_FirstUpload)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// MARK: - Reconcile comparison

constexpr int kCompared = 50000;

// 50,000 clippings in sync with 50,000 records: same names, same dates.
struct ComparedStore {
    std::shared_ptr<TLDatabaseManager> database;
    std::vector<cloud::Record> records;
    static ComparedStore& shared() {
        static ComparedStore* store = new ComparedStore();
        return *store;
    }
    ComparedStore() : database(emptyStore("compared")) {
        auto context = database->managedObjectContext();
        for (int i = 0; i < kCompared; ++i) {
            const foundation::Date date(1.5e9 + i);
            cloud::Record record = cloud::Record::stored(Clipping::kEntityName, cloud::RecordID{clippingName(i), kZone},
                                                         {}, "tag", date, date);
            auto c = std::static_pointer_cast<Clipping>(context->insertNewObject(Clipping::kEntityName));
            c->setClippingID(clippingName(i));
            c->setText("Clipping " + std::to_string(i));
            c->setTavloDate(date);
            c->setModifiedDate(date);
            c->setRecordSystemFields(record.encodeSystemFields());
            c->setSync(false);
            records.push_back(std::move(record));
            if (i % 1000 == 999) (void)context->save();
        }
        (void)context->save();
        database->parentManagedObjectContext()->performBlockAndWait([] {});
    }
};

void BM_ReconcileComparison(benchmark::State& state) {
    auto& compared = ComparedStore::shared();
    auto engine = std::make_shared<TLCloudKitSyncManager>(
        cloud::Container::make("com.tavlo.Tavlo", account(false), "comparer"), compared.database,
        pasteboardManager(compared.database));
    engine->setManagedObjectContext(compared.database->managedObjectContext());
    dispatch::MainQueue::runUntilIdle();
    double cpu = 0;
    for (auto _ : state) {
        const double before = processCpuMilliseconds();
        // Compares, saves what it settled, and sends nothing.
        engine->compareListRecords({}, compared.records, {});
        while (!engine->isIdle()) {
            dispatch::MainQueue::runUntilIdle();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        cpu += processCpuMilliseconds() - before;
    }
    state.counters["all_threads_cpu_ms"] = cpu / static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations() * kCompared);
}
BENCHMARK(BM_ReconcileComparison)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

// The comparison as first written: for each record, the local objects
// filtered by its identifier, a pass over every object. Timed on the first
// 1,000 records and scaled to 50,000 (the whole run would take minutes).
void BM_ReconcilePerRecordFilter(benchmark::State& state) {
    constexpr int kSample = 1000;
    auto& compared = ComparedStore::shared();
    auto context = std::make_shared<store::Context>(store::ConcurrencyType::PrivateQueue);
    context->performBlockAndWait([&] { context->setParentContext(compared.database->managedObjectContext()); });
    for (auto _ : state) {
        size_t matched = 0;
        const auto start = std::chrono::steady_clock::now();
        context->performBlockAndWait([&] {
            store::FetchRequest request(Clipping::kEntityName);
            request.sortDescriptors = {{"modifiedDate", false}};
            auto found = context->fetch(request);
            if (!found) return;
            for (int r = 0; r < kSample; ++r) {
                const std::string& name = compared.records[static_cast<size_t>(r)].recordID().recordName;
                std::vector<std::shared_ptr<store::ManagedObject>> same;
                for (const auto& object : found.value())
                    if (std::static_pointer_cast<Clipping>(object)->clippingID() == name) same.push_back(object);
                matched += same.size();
            }
        });
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.counters["scaled_to_50000_s"] = seconds * kCompared / kSample;
        if (matched != kSample) state.SkipWithError("a record found no object");
    }
    state.SetItemsProcessed(state.iterations() * kSample);
}
BENCHMARK(BM_ReconcilePerRecordFilter)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// MARK: The clipboard between devices

using syncbench::OtherDevice;

void BM_CopyToOtherClipboard(benchmark::State& state) {
    const bool onPostgres = state.range(0) == 1;
    const cloud::Configuration configuration = account(onPostgres);
    auto suite = TLSettings();
    suite->setBool(true, TLUserDefaultsSyncEnabled);
    suite->setBool(true, TLUserDefaultsClipboardSync);
    suite->setBool(false, TLUserDefaultsShowClipboardSyncPushNotifications);
    suite->removeObjectForKey(TLUserDefaultsClipboardSyncTavloDate);
    suite->removeObjectForKey(TLUserDefaultsCloudKitServerChangeToken);

    // Device B, the one whose clipboard is watched.
    auto database = emptyStore(std::string("copy-b-") + (onPostgres ? "pg" : "embedded"));
    auto clipboard = std::make_shared<desktop::MemoryPasteboard>();
    auto general = std::make_shared<TLMacPasteboard>();
    general->setPasteboard(clipboard);
    TLPasteboardManager::Configuration pasteboardConfiguration;
    pasteboardConfiguration.generalPasteboard = general;
    pasteboardConfiguration.managedObjectContext = database->managedObjectContext();
    auto pasteboard = std::make_shared<TLPasteboardManager>(std::move(pasteboardConfiguration));
    auto container = cloud::Container::make("com.tavlo.Tavlo", configuration, "device-b");
    auto server = container->server();
    if (!server || !server.value()->modifyZones({kZone}, {}) ||
        !server.value()->modifySubscriptions({{TLCloudKitSyncManager::kTavloSubscriptionID, kZone, true, ""}}, {}))
        std::abort();
    auto engine = std::make_shared<TLCloudKitSyncManager>(container, database, pasteboard);
    engine->setManagedObjectContext(database->managedObjectContext());
    TLClipboardSync::Environment environment;
    environment.managedObjectContext = database->managedObjectContext();
    environment.pasteboardManager = pasteboard;
    auto clipboardSync = std::make_shared<TLClipboardSync>(std::move(environment));
    container->pushChannel()->registerForRemoteNotifications(
        [](const std::string&) {}, [&](const foundation::PlistValue::Dictionary&) {
            clipboardSync->didReceiveRemoteNotification(engine);
        });
    auto textOnClipboard = [&] {
        auto items = clipboard->items();
        return items.empty() ? std::string() : items.front().string(foundation::kUTTypeUTF8PlainText).value_or("");
    };
    auto runUntil = [](const std::function<bool()>& done, double seconds) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (!done() && std::chrono::steady_clock::now() < end) {
            dispatch::MainQueue::runUntilIdle();
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return done();
    };

    OtherDevice a(configuration, home() / (std::string("device-a-") + (onPostgres ? "pg" : "embedded")));
    for (const char* command : {"sync on", "clipboard-sync on"})
        if (a.send(command) != "ok") return state.SkipWithError("device A did not start");
    // A first copy settles the token and the subscriptions of both devices.
    if (a.send("copy warming up") != "ok" || !runUntil([&] { return textOnClipboard() == "warming up"; }, 90))
        return state.SkipWithError("the first copy never arrived");

    std::vector<double> latencies;
    int copies = 0;
    for (auto _ : state) {
        const std::string text = "copy number " + std::to_string(++copies);
        const auto started = std::chrono::steady_clock::now();
        if (a.send("copy " + text) != "ok") return state.SkipWithError("device A refused the copy");
        if (!runUntil([&] { return textOnClipboard() == text; }, 30))
            return state.SkipWithError(("no clipboard within 30 s: " + text).c_str());
        latencies.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count());
        // Let B's engine and store settle so copies never overlap.
        runUntil([&] { return engine->isIdle(); }, 10);
    }
    container->pushChannel()->unregister();
    engine->setManagedObjectContext(nullptr);
    syncbench::reportLatencies(state, std::move(latencies));
}
BENCHMARK(BM_CopyToOtherClipboard)->Arg(0)->Arg(1)->Iterations(100)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) { return bench::runBenchmarksThenRemove(argc, argv, home()); }
