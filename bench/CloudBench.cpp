// The embedded cloud store beside plain SQLite: a modify of 400 records of
// 1 KB beside one transaction inserting the same rows; fetching 10,000 changed
// records page by page beside one SELECT of them; two writers beside one; and
// the time from a commit to the push in another process. On PostgreSQL (a
// server it starts as the tests do): the 400-record modify beside a plain
// libpq multi-row insert, commit to push through LISTEN/NOTIFY beside the
// folder watch, and a key-value write from synchronize to the other device's
// notification on both back-ends.
//
// Run as "cloud_bench --listen FOLDER FILE" it is that other process: a device
// that appends the monotonic time of each push it gets to FILE.
#include <benchmark/benchmark.h>

#include <sqlite3.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>

#include "BenchProcess.h"
#include "platform/cloud/Container.h"
#include "platform/cloud/PushChannel.h"
#include "platform/cloud/SQLiteSession.h"
#include "platform/cloud/StoredKeyValueStore.h"
#include "platform/cloud/ZoneServer.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/foundation/NotificationCenter.h"

#ifdef TAVLO_BENCH_POSTGRES
#include <libpq-fe.h>

#include "platform/cloud/PostgresSession.h"
#include "tests/support/PostgresServer.h"
#endif

namespace {

using cloud::Record;
using cloud::ZoneServer;

const cloud::RecordZoneID kZone{"Tavlo Zone"};
const std::string kKilobyte(1024, 'k');

int64_t monotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

std::unique_ptr<ZoneServer> openDevice(const std::filesystem::path& folder, const std::string& device, int pageSize = 200) {
    auto session = cloud::SQLiteSession::open(folder);
    if (!session) std::abort();
    ZoneServer::Options options;
    options.deviceID = device;
    options.cacheFolder = folder / "cache";
    options.pageSize = pageSize;
    auto server = std::make_unique<ZoneServer>(std::move(session).value(), options);
    if (!server->open("bench") || !server->modifyZones({kZone}, {})) std::abort();
    return server;
}

std::filesystem::path freshFolder(const std::string& name) {
    auto folder = std::filesystem::temp_directory_path() / ("tavlo-cloud-bench-" + name);
    std::filesystem::remove_all(folder);
    return folder;
}

std::vector<Record> batch(int64_t& counter, int count) {
    std::vector<Record> records;
    for (int i = 0; i < count; ++i) {
        Record record("Clipping", {"C-" + std::to_string(counter++), kZone});
        record.setObject("text", kKilobyte);
        records.push_back(std::move(record));
    }
    return records;
}

// Modifies of 400 new records of 1 KB, on either back-end.
void modify400Records(benchmark::State& state, const std::unique_ptr<ZoneServer>& server) {
    int64_t counter = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto records = batch(counter, 400);
        state.ResumeTiming();
        if (!server->modifyRecords(records, {}).ok()) state.SkipWithError("modify failed");
    }
    state.SetItemsProcessed(state.iterations() * 400);
}

void BM_Modify400Records(benchmark::State& state) { modify400Records(state, openDevice(freshFolder("modify"), "writer")); }

// The floor: the same rows (name, fields blob, tag, dates, change number)
// inserted in one transaction with the store's pragmas.
void BM_PlainInsert400Rows(benchmark::State& state) {
    const auto folder = freshFolder("plain");
    std::filesystem::create_directories(folder);
    sqlite3* db = nullptr;
    sqlite3_open((folder / "plain.sqlite").c_str(), &db);
    sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                     "CREATE TABLE records(zone TEXT, name TEXT, type TEXT, tag TEXT, created_ms INTEGER,"
                     " modified_ms INTEGER, change INTEGER, writer TEXT, fields BLOB, bytes INTEGER, has_refs INTEGER,"
                     " PRIMARY KEY(zone, name)); CREATE INDEX records_change ON records(zone, change);",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO records VALUES (?, ?, 'Clipping', 'tag', 1, 1, ?, 'writer', ?, 1024, 0)", -1,
                       &insert, nullptr);
    int64_t counter = 0;
    for (auto _ : state) {
        sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        for (int i = 0; i < 400; ++i) {
            const std::string name = "C-" + std::to_string(counter);
            sqlite3_bind_text(insert, 1, "Tavlo Zone", -1, SQLITE_STATIC);
            sqlite3_bind_text(insert, 2, name.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int64(insert, 3, counter++);
            sqlite3_bind_blob(insert, 4, kKilobyte.data(), static_cast<int>(kKilobyte.size()), SQLITE_STATIC);
            sqlite3_step(insert);
            sqlite3_reset(insert);
        }
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    }
    sqlite3_finalize(insert);
    sqlite3_close(db);
    state.SetItemsProcessed(state.iterations() * 400);
}

struct FetchFixture {
    std::filesystem::path folder;
    std::unique_ptr<ZoneServer> reader;
    FetchFixture() : folder(freshFolder("fetch")) {
        auto writer = openDevice(folder, "writer");
        int64_t counter = 0;
        for (int i = 0; i < 25; ++i)
            if (!writer->modifyRecords(batch(counter, 400), {}).ok()) std::abort();
        reader = openDevice(folder, "reader");
    }
};

FetchFixture& fetchFixture() {
    static FetchFixture fixture;
    return fixture;
}

void BM_Fetch10000ChangesPageByPage(benchmark::State& state) {
    auto& fixture = fetchFixture();
    for (auto _ : state) {
        std::optional<cloud::ServerChangeToken> token;
        size_t records = 0;
        for (bool more = true; more;) {
            auto page = fixture.reader->fetchChanges(kZone, token, std::nullopt);
            if (!page.ok()) return state.SkipWithError("fetch failed");
            records += page.value().changed.size();
            token = page.value().token;
            more = page.value().moreComing;
        }
        if (records != 10000) state.SkipWithError("records missing");
    }
    state.SetItemsProcessed(state.iterations() * 10000);
}

void BM_PlainSelect10000Rows(benchmark::State& state) {
    auto& fixture = fetchFixture();
    sqlite3* db = nullptr;
    sqlite3_open_v2((fixture.folder / "cloud.sqlite").c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* select = nullptr;
    sqlite3_prepare_v2(db, "SELECT name, type, tag, created_ms, modified_ms, fields FROM records WHERE zone = ?"
                           " ORDER BY change", -1, &select, nullptr);
    for (auto _ : state) {
        size_t rows = 0, bytes = 0;
        sqlite3_bind_text(select, 1, "Tavlo Zone", -1, SQLITE_STATIC);
        while (sqlite3_step(select) == SQLITE_ROW) {
            std::string name(reinterpret_cast<const char*>(sqlite3_column_text(select, 0)));
            std::string fields(static_cast<const char*>(sqlite3_column_blob(select, 5)),
                               static_cast<size_t>(sqlite3_column_bytes(select, 5)));
            bytes += name.size() + fields.size();
            ++rows;
        }
        sqlite3_reset(select);
        benchmark::DoNotOptimize(bytes);
        if (rows != 10000) state.SkipWithError("rows missing");
    }
    sqlite3_finalize(select);
    sqlite3_close(db);
    state.SetItemsProcessed(state.iterations() * 10000);
}

// Saves of 10 records each, by one writer or by two at once (each with its
// own connection, as two processes have).
void BM_Writers(benchmark::State& state) {
    const int writers = static_cast<int>(state.range(0));
    const auto folder = freshFolder("writers");
    std::vector<std::unique_ptr<ZoneServer>> servers;
    for (int w = 0; w < writers; ++w) servers.push_back(openDevice(folder, "writer-" + std::to_string(w)));
    constexpr int kSaves = 200;
    std::atomic<int64_t> counter{0};
    for (auto _ : state) {
        std::vector<std::thread> threads;
        for (int w = 0; w < writers; ++w)
            threads.emplace_back([&, w] {
                for (int i = 0; i < kSaves; ++i) {
                    int64_t first = counter.fetch_add(10);
                    auto records = batch(first, 10);
                    while (!servers[w]->modifyRecords(records, {}).ok()) {
                    }
                }
            });
        for (auto& thread : threads) thread.join();
    }
    state.SetItemsProcessed(state.iterations() * writers * kSaves * 10);
}

// Commit to push in another process: the listener notes the monotonic time
// of each push; the writer notes when its modify began.
void BM_CommitToPush(benchmark::State& state) {
    const auto folder = freshFolder("push");
    auto writer = openDevice(folder, "writer");
    const auto times = folder / "pushes.txt";
    const bench::Home home = bench::makeHome("tavlo-cloud-bench-listener");
    const pid_t listener = bench::spawn({std::filesystem::read_symlink("/proc/self/exe").string(), "--listen",
                                         folder.string(), times.string()},
                                        home.env());
    auto lines = [&] {
        std::ifstream in(times);
        std::vector<int64_t> values;
        for (int64_t v; in >> v;) values.push_back(v);
        return values;
    };
    // The listener is ready once it has noted its registration (a 0).
    for (int i = 0; i < 1000 && lines().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::vector<double> latencies;
    int64_t counter = 0;
    for (auto _ : state) {
        const size_t before = lines().size();
        auto records = batch(counter, 1);
        // Timed from the start of the modify: the push may arrive before the
        // call returns, so this counts the commit itself too.
        const int64_t committed = monotonicNanoseconds();
        if (!writer->modifyRecords(records, {}).ok()) return state.SkipWithError("modify failed");
        std::vector<int64_t> seen;
        for (int i = 0; i < 5000 && (seen = lines()).size() <= before; ++i)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        if (seen.size() <= before) return state.SkipWithError("no push within 1 s");
        latencies.push_back(static_cast<double>(seen.back() - committed) / 1e6);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(listener, SIGTERM);
    waitpid(listener, nullptr, 0);
    std::sort(latencies.begin(), latencies.end());
    if (latencies.empty()) return;
    state.counters["median_ms"] = latencies[latencies.size() / 2];
    state.counters["p99_ms"] = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
}

// MARK: PostgreSQL, on a server the benchmark starts as the tests do

#ifdef TAVLO_BENCH_POSTGRES
testsupport::PostgresServer& postgres() {
    auto* server = testsupport::PostgresServer::shared();
    if (!server) {
        std::fprintf(stderr, "%s\n", testsupport::PostgresServer::skipReason().c_str());
        std::exit(1);
    }
    return *server;
}

std::string freshDatabase(const std::string& name) {
    static int made = 0;
    const std::string database = "bench_" + name + "_" + std::to_string(++made);
    if (!postgres().createDatabase(database)) std::abort();
    return postgres().connection(database);
}

std::unique_ptr<ZoneServer> openPostgresDevice(const std::string& connection, const std::string& device) {
    auto session = cloud::PostgresSession::open(connection);
    if (!session) std::abort();
    ZoneServer::Options options;
    options.deviceID = device;
    options.cacheFolder = freshFolder("pg-cache");
    auto server = std::make_unique<ZoneServer>(std::move(session).value(), options);
    if (!server->open("bench") || !server->modifyZones({kZone}, {})) std::abort();
    return server;
}

void BM_PostgresModify400Records(benchmark::State& state) {
    modify400Records(state, openPostgresDevice(freshDatabase("modify"), "writer"));
}

// The floor: the same rows in one transaction, one multi-row INSERT, through
// plain libpq on a connection of its own.
void BM_PostgresPlainInsert400Rows(benchmark::State& state) {
    const std::string connection = freshDatabase("plain");
    PGconn* conn = PQconnectdb(connection.c_str());
    PQclear(PQexec(conn, "CREATE TABLE rows(zone TEXT, name TEXT, change BIGINT, fields BYTEA, "
                         "PRIMARY KEY(zone, name))"));
    std::string sql = "INSERT INTO rows(zone, name, change, fields) VALUES ";
    for (int i = 0; i < 400; ++i)
        sql += (i ? ", (" : "(") + ("$" + std::to_string(4 * i + 1)) + ", $" + std::to_string(4 * i + 2) + ", $" +
               std::to_string(4 * i + 3) + "::bigint, $" + std::to_string(4 * i + 4) + "::bytea)";
    int64_t counter = 0;
    for (auto _ : state) {
        std::vector<std::string> texts;
        texts.reserve(800);
        std::vector<const char*> values;
        std::vector<int> lengths, formats;
        for (int i = 0; i < 400; ++i) {
            texts.push_back("C-" + std::to_string(counter));
            texts.push_back(std::to_string(counter++));
        }
        for (int i = 0; i < 400; ++i) {
            values.insert(values.end(), {"Tavlo Zone", texts[2 * i].c_str(), texts[2 * i + 1].c_str(), kKilobyte.data()});
            lengths.insert(lengths.end(), {0, 0, 0, static_cast<int>(kKilobyte.size())});
            formats.insert(formats.end(), {0, 0, 0, 1});
        }
        PQclear(PQexec(conn, "BEGIN"));
        PGresult* result = PQexecParams(conn, sql.c_str(), 1600, nullptr, values.data(), lengths.data(),
                                        formats.data(), 0);
        if (PQresultStatus(result) != PGRES_COMMAND_OK) state.SkipWithError(PQresultErrorMessage(result));
        PQclear(result);
        PQclear(PQexec(conn, "COMMIT"));
    }
    PQfinish(conn);
    state.SetItemsProcessed(state.iterations() * 400);
}

// A device of this process on either back-end: its container and pushes.
cloud::Configuration account(bool postgres, const std::string& name) {
    cloud::Configuration configuration;
    configuration.account = "bench";
    if (postgres) {
        configuration.backend = cloud::Configuration::kPostgreSQLBackend;
        configuration.connection = freshDatabase(name);
    } else {
        configuration.folder = freshFolder(name);
    }
    return configuration;
}

void runMainFor(const std::function<bool()>& done, double seconds) {
    const int64_t end = monotonicNanoseconds() + static_cast<int64_t>(seconds * 1e9);
    while (!done() && monotonicNanoseconds() < end) {
        dispatch::MainQueue::runUntilIdle();
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

void report(benchmark::State& state, std::vector<double> latencies) {
    std::sort(latencies.begin(), latencies.end());
    if (latencies.empty()) return;
    state.counters["median_ms"] = latencies[latencies.size() / 2];
    state.counters["p99_ms"] = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
}

// Commit to push on the main queue of another device in this process:
// LISTEN/NOTIFY (1) beside the embedded folder watch (0).
void BM_CommitToPushInProcess(benchmark::State& state) {
    const cloud::Configuration configuration = account(state.range(0) == 1, "push");
    auto writer = cloud::Container::make("com.tavlo.Tavlo", configuration, "writer");
    auto listener = cloud::Container::make("com.tavlo.Tavlo", configuration, "listener");
    if (!writer->server() || !writer->server().value()->modifyZones({kZone}, {})) std::abort();
    if (!listener->server().value()->modifySubscriptions({{"Tavlo Zone Subscription", kZone, true, ""}}, {}))
        std::abort();
    std::atomic<int64_t> pushed{0};
    bool registered = false;
    listener->pushChannel()->registerForRemoteNotifications([&](const std::string&) { registered = true; },
                                                            [&](auto&) { pushed = monotonicNanoseconds(); });
    runMainFor([&] { return registered; }, 10);
    runMainFor([] { return false; }, 0.5);
    std::vector<double> latencies;
    int64_t counter = 0;
    for (auto _ : state) {
        auto records = batch(counter, 1);
        pushed = 0;
        const int64_t started = monotonicNanoseconds();
        if (!writer->server().value()->modifyRecords(records, {}).ok()) return state.SkipWithError("modify failed");
        runMainFor([&] { return pushed != 0; }, 2);
        if (pushed == 0) return state.SkipWithError("no push within 2 s");
        latencies.push_back(static_cast<double>(pushed - started) / 1e6);
        runMainFor([] { return false; }, 0.005);
    }
    listener->pushChannel()->unregister();
    report(state, std::move(latencies));
}

// A key-value write from synchronize on one device to the other device's
// change notification, on PostgreSQL (1) and the embedded store (0).
void BM_KeyValuePropagation(benchmark::State& state) {
    const cloud::Configuration configuration = account(state.range(0) == 1, "kv");
    const auto folder = freshFolder("kv-copies");
    auto a = cloud::Container::make("com.tavlo.Tavlo", configuration, "device-a");
    auto b = cloud::Container::make("com.tavlo.Tavlo", configuration, "device-b");
    auto storeA = cloud::StoredKeyValueStore::make([a] { return a; }, folder / "a.plist");
    auto storeB = cloud::StoredKeyValueStore::make([b] { return b; }, folder / "b.plist");
    std::atomic<int64_t> heard{0};
    auto& center = foundation::NotificationCenter::defaultCenter();
    auto token = center.addObserver(cloud::UbiquitousKeyValueStore::kDidChangeExternallyNotification, storeB.get(),
                                    [&](const foundation::Notification&) { heard = monotonicNanoseconds(); });
    if (!storeB->synchronizeNow()) std::abort();
    std::vector<double> latencies;
    int64_t value = 0;
    for (auto _ : state) {
        storeA->setObject(foundation::PlistValue(++value), "TLUserDefaultsClipboardSize");
        heard = 0;
        const int64_t started = monotonicNanoseconds();
        if (!storeA->synchronizeNow()) return state.SkipWithError("synchronize failed");
        runMainFor([&] { return heard != 0; }, 3);
        if (heard == 0) return state.SkipWithError("no change notification within 3 s");
        latencies.push_back(static_cast<double>(heard - started) / 1e6);
    }
    center.removeObserver(token);
    report(state, std::move(latencies));
}
#endif

int listen(const std::filesystem::path& folder, const std::filesystem::path& times) {
    cloud::Configuration configuration;
    configuration.account = "bench";
    configuration.folder = folder;
    auto container = cloud::Container::make("com.tavlo.Tavlo", configuration, "listener");
    auto server = container->server();
    if (!server || !server.value()->modifySubscriptions({{"Tavlo Zone Subscription", kZone, true, ""}}, {})) return 1;
    std::ofstream out(times, std::ios::app);
    container->pushChannel()->registerForRemoteNotifications(
        [&](const std::string&) { out << 0 << "\n" << std::flush; },
        [&](auto&) { out << monotonicNanoseconds() << "\n" << std::flush; });
    for (;;) {
        dispatch::MainQueue::runUntilIdle();
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

}  // namespace

BENCHMARK(BM_Modify400Records)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainInsert400Rows)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Fetch10000ChangesPageByPage)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainSelect10000Rows)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Writers)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CommitToPush)->Iterations(300)->Unit(benchmark::kMillisecond)->UseRealTime();
#ifdef TAVLO_BENCH_POSTGRES
BENCHMARK(BM_PostgresModify400Records)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PostgresPlainInsert400Rows)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CommitToPushInProcess)->Arg(0)->Arg(1)->Iterations(200)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_KeyValuePropagation)->Arg(0)->Arg(1)->Iterations(100)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--listen") == 0) return listen(argv[2], argv[3]);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
