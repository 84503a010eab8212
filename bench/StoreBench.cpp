// The object store at the size of a long history: 100,000 clippings whose texts
// total about 250 MB (95% of 200 bytes to 2 KB, 5% of 10 to 50 KB), beside plain
// SQLite running the same statements on the same file, so the figures show what
// our layer adds. The store is generated once into $TAVLO_BENCH_STORE (default
// /tmp/tavlo-store-bench) and reused by later runs.

#include <benchmark/benchmark.h>

#include "BrowserRequest.h"
#include <malloc.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "platform/store/Context.h"
#include "platform/store/Coordinator.h"
#include "platform/store/SQLFunctions.h"
#include "platform/store/SQLTranslator.h"

namespace {

namespace fs = std::filesystem;
using namespace store;

constexpr int kClippings = 100000;
constexpr const char* kGeneratorVersion = "3";

// Clipboard text has a long-tailed vocabulary: a few words are everywhere, most
// are rare. Words are drawn from 20,000 made-up ones by a Zipf law, with some
// real (and accented) words placed at chosen ranks.
const std::pair<int, const char*> kPlacedWords[] = {
    {0, "the"},      {1, "and"},      {2, "of"},        {3, "to"},       {40, "meeting"}, {60, "lorem"},
    {70, "ipsum"},   {80, "dolor"},   {120, "café"},    {150, "crème"},  {300, "naïve"},  {400, "brûlée"},
    {800, "éclair"}, {2000, "jalapeño"}, {5000, "smörgåsbord"}};

struct Vocabulary {
    std::vector<std::string> words;
    std::vector<double> cumulative;
    Vocabulary() {
        static const char* const kSyllables[] = {"ka", "lo", "mi", "tar", "en", "sul", "ri", "po", "van", "de",
                                                 "shi", "mo", "ber", "ga", "tu", "nel", "fi", "os", "ran", "qui"};
        std::mt19937_64 random(11);
        double total = 0;
        for (int rank = 0; rank < 20000; ++rank) {
            std::string word;
            for (unsigned n = 2 + random() % 3; n > 0; --n) word += kSyllables[random() % std::size(kSyllables)];
            words.push_back(word);
            total += 1.0 / std::pow(rank + 1.0, 1.07);
            cumulative.push_back(total);
        }
        for (const auto& [rank, word] : kPlacedWords) words[static_cast<size_t>(rank)] = word;
    }
    const std::string& draw(std::mt19937_64& random) const {
        double u = std::uniform_real_distribution<double>(0, cumulative.back())(random);
        return words[static_cast<size_t>(std::lower_bound(cumulative.begin(), cumulative.end(), u) - cumulative.begin())];
    }
};

const Vocabulary& vocabulary() {
    static const Vocabulary v;
    return v;
}

const char* const kListNames[] = {"Work", "Recipes", "Éclairs", "Travel", "Code snippets",
                                  "Addresses", "Reading", "Later", "Ideas", "Shopping"};

fs::path benchFolder() {
    const char* env = std::getenv("TAVLO_BENCH_STORE");
    return env ? fs::path(env) : fs::path("/tmp/tavlo-store-bench");
}
fs::path storePath() { return benchFolder() / "datastore"; }

std::shared_ptr<const Model> loadModel() {
    auto model = Model::loadResource(fs::path(TAVLO_SOURCE_DIR) / "resources/Tavlo.momd");
    if (!model) {
        std::fprintf(stderr, "%s\n", model.error().description().c_str());
        std::exit(1);
    }
    return model.value();
}

std::string words(std::mt19937_64& random, size_t length) {
    std::string text;
    while (text.size() < length) {
        text += vocabulary().draw(random);
        text += random() % 12 == 0 ? "\n" : " ";
    }
    return text;
}

std::string pseudoID(std::mt19937_64& random) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "C-%08X-%04X-%04X-%04X-%012llX", unsigned(random()), unsigned(random() & 0xffff),
                  unsigned(random() & 0xffff), unsigned(random() & 0xffff),
                  static_cast<unsigned long long>(random() & 0xffffffffffffull));
    return buf;
}

void generateStore() {
    fs::path marker = benchFolder() / ("generated-" + std::string(kGeneratorVersion));
    if (fs::exists(marker)) return;
    fs::remove_all(benchFolder());
    fs::create_directories(benchFolder());
    auto coordinator = std::make_shared<Coordinator>(loadModel());
    if (!coordinator->addSQLiteStore(storePath())) std::exit(1);
    std::mt19937_64 random(2026);
    std::vector<ObjectID> lists;
    {
        Context context(coordinator);
        for (const char* name : kListNames) {
            auto list = context.insertNewObject("List");
            list->setValueForKey("name", Value(name));
            lists.push_back(list->objectID());
        }
        (void)context.save();
    }
    size_t total = 0;
    for (int batch = 0; batch < kClippings / 2000; ++batch) {
        Context context(coordinator);
        for (int k = 0; k < 2000; ++k) {
            int i = batch * 2000 + k;
            auto c = context.insertNewObject("Clipping");
            c->setValueForKey("clippingID", Value(pseudoID(random)));
            double date = 1.7e9 + i * 60.0 + double(random() % 30);
            c->setValueForKey("tavloDate", Value::date(date));
            c->setValueForKey("addDate", Value::date(date));
            c->setValueForKey("pasteboardIndex", Value(0));
            c->setValueForKey("sync", Value(false));
            unsigned kind = random() % 100;
            size_t length = random() % 100 < 5 ? 10000 + random() % 40001 : 200 + random() % 1801;
            if (kind < 10) {
                c->setValueForKey("url", Value("https://www.site" + std::to_string(random() % 5000) + ".example/" +
                                               vocabulary().draw(random) + "/" + std::to_string(i)));
                c->setValueForKey("urlName", Value(words(random, 30)));
            }
            if (kind < 2) c->setValueForKey("image", Value("public.png"));
            else {
                std::string text = words(random, length);
                total += text.size();
                c->setValueForKey("text", Value(std::move(text)));
            }
            if (random() % 10 == 0) c->setValueForKey("list", Value(lists[random() % lists.size()]));
        }
        if (auto saved = context.save(); !saved) {
            std::fprintf(stderr, "%s\n", saved.error().description().c_str());
            std::exit(1);
        }
    }
    std::fprintf(stderr, "generated %d clippings, %.0f MB of text\n", kClippings, double(total) / 1e6);
    std::ofstream(marker) << "done\n";
}

size_t residentBytes() {
    std::ifstream statm("/proc/self/statm");
    size_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

std::shared_ptr<Coordinator>& sharedCoordinator() {
    static std::shared_ptr<Coordinator> coordinator = [] {
        generateStore();
        auto c = std::make_shared<Coordinator>(loadModel());
        if (!c->addSQLiteStore(storePath())) std::exit(1);
        return c;
    }();
    return coordinator;
}

sqlite3* plainDatabase() {
    static sqlite3* db = [] {
        sharedCoordinator();
        sqlite3* d = nullptr;
        sqlite3_open_v2(storePath().c_str(), &d, SQLITE_OPEN_READWRITE, nullptr);
        // As the store sets it up.
        sqlite3_exec(d, "PRAGMA cache_size=-16384; PRAGMA mmap_size=2147418112", nullptr, nullptr, nullptr);
        registerSQLFunctions(d);
        return d;
    }();
    return db;
}

using bench::browserRequest;

// The statement our layer runs for the request, run by hand.
size_t plainFetch(const FetchRequest& request) {
    const Model& model = *sharedCoordinator()->model();
    SQLCondition condition = SQLTranslator(model, *model.entity("Clipping")).translate(*request.predicate);
    std::string sql = "SELECT t.pk, t.\"tavloDate\", t.\"pasteboardIndex\" FROM \"Clipping\" AS t WHERE " +
                      condition.sql + " ORDER BY t.\"tavloDate\" DESC, t.\"pasteboardIndex\" ASC, t.pk ASC";
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(plainDatabase(), sql.c_str(), -1, &stmt, nullptr);
    for (size_t i = 0; i < condition.binds.size(); ++i) {
        const std::string& s = condition.binds[i].string();
        sqlite3_bind_text(stmt, int(i + 1), s.data(), int(s.size()), SQLITE_TRANSIENT);
    }
    struct Row {
        int64_t pk;
        double date;
        int64_t index;
    };
    std::vector<Row> rows;
    while (sqlite3_step(stmt) == SQLITE_ROW)
        rows.push_back({sqlite3_column_int64(stmt, 0), sqlite3_column_double(stmt, 1), sqlite3_column_int64(stmt, 2)});
    sqlite3_finalize(stmt);
    return rows.size();
}

void BM_OpenStore(benchmark::State& state) {
    sharedCoordinator();
    for (auto _ : state) {
        Coordinator coordinator(loadModel());
        if (!coordinator.addSQLiteStore(storePath())) state.SkipWithError("open failed");
    }
}
BENCHMARK(BM_OpenStore)->Unit(benchmark::kMillisecond);

void BM_OpenStore_PlainSQLite(benchmark::State& state) {
    sharedCoordinator();
    for (auto _ : state) {
        sqlite3* db = nullptr;
        sqlite3_open_v2(storePath().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
        sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
}
BENCHMARK(BM_OpenStore_PlainSQLite)->Unit(benchmark::kMillisecond);

// The fetch itself; dropping the previous result (which the browser does
// after it has the new one) is timed apart as drop_ms.
void BM_FetchAllByDate(benchmark::State& state) {
    auto coordinator = sharedCoordinator();
    FetchRequest request = browserRequest(nullptr);
    size_t count = 0;
    double dropSeconds = 0;
    for (auto _ : state) {
        auto context = std::make_unique<Context>(coordinator);
        auto objects = context->fetch(request);
        state.PauseTiming();
        count = objects.ok() ? objects.value().size() : 0;
        auto start = std::chrono::steady_clock::now();
        objects = Context::Objects{};
        context.reset();
        dropSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.ResumeTiming();
    }
    state.counters["objects"] = double(count);
    state.counters["drop_ms"] = dropSeconds * 1000 / double(state.iterations());
}
BENCHMARK(BM_FetchAllByDate)->Unit(benchmark::kMillisecond);

// What holding the browser's result costs: resident memory before the fetch and
// with its objects held, once, in a process that has fetched nothing before.
void BM_FetchAllByDateMemory(benchmark::State& state) {
    auto coordinator = sharedCoordinator();
    FetchRequest request = browserRequest(nullptr);
    double growth = 0;
    for (auto _ : state) {
        malloc_trim(0);
        size_t before = residentBytes();
        Context context(coordinator);
        auto objects = context.fetch(request);
        growth = double(residentBytes() - std::min(before, residentBytes())) / 1048576.0;
    }
    state.counters["rss_growth_MB"] = growth;
}
BENCHMARK(BM_FetchAllByDateMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_FetchAllByDate_PlainSQLite(benchmark::State& state) {
    FetchRequest request = browserRequest(nullptr);
    size_t count = 0;
    for (auto _ : state) count = plainFetch(request);
    state.counters["rows"] = double(count);
}
BENCHMARK(BM_FetchAllByDate_PlainSQLite)->Unit(benchmark::kMillisecond);

const char* const kQueries[] = {"e", "ab", "the", "caf", "eclair", "jalapeno", "lorem ipsum", "zzzq"};

void BM_SearchFetch(benchmark::State& state) {
    auto coordinator = sharedCoordinator();
    const std::string query = kQueries[state.range(0)];
    FetchRequest request = browserRequest(&query);
    size_t count = 0;
    for (auto _ : state) {
        Context context(coordinator);
        auto objects = context.fetch(request);
        count = objects.ok() ? objects.value().size() : 0;
    }
    state.SetLabel(query);
    state.counters["objects"] = double(count);
}
BENCHMARK(BM_SearchFetch)->DenseRange(0, std::size(kQueries) - 1)->Unit(benchmark::kMillisecond);

void BM_SearchFetch_PlainSQLite(benchmark::State& state) {
    const std::string query = kQueries[state.range(0)];
    FetchRequest request = browserRequest(&query);
    size_t count = 0;
    for (auto _ : state) count = plainFetch(request);
    state.SetLabel(query);
    state.counters["rows"] = double(count);
}
BENCHMARK(BM_SearchFetch_PlainSQLite)->DenseRange(0, std::size(kQueries) - 1)->Unit(benchmark::kMillisecond);

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
    return v[v.size() / 2];
}

void BM_InsertAndSaveOneClipping(benchmark::State& state) {
    auto coordinator = sharedCoordinator();
    Context context(coordinator);
    std::mt19937_64 random(1);
    std::vector<double> times;
    std::vector<std::shared_ptr<ManagedObject>> made;
    for (auto _ : state) {
        std::string text = words(random, 200 + random() % 1801);
        auto start = std::chrono::steady_clock::now();
        auto c = context.insertNewObject("Clipping");
        c->setValueForKey("clippingID", Value(pseudoID(random)));
        c->setValueForKey("tavloDate", Value::date(2e9));
        c->setValueForKey("text", Value(std::move(text)));
        c->setValueForKey("sync", Value(true));
        if (!context.save()) state.SkipWithError("save failed");
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        times.push_back(seconds * 1000);
        made.push_back(c);
    }
    for (auto& c : made) context.deleteObject(c);
    (void)context.save();
    state.counters["median_ms"] = median(times);
}
BENCHMARK(BM_InsertAndSaveOneClipping)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_InsertAndSaveOneClipping_PlainSQLite(benchmark::State& state) {
    sqlite3* db = plainDatabase();
    std::mt19937_64 random(1);
    std::vector<double> times;
    sqlite3_stmt* row = nullptr;
    sqlite3_stmt* search = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO \"Clipping\" (pk, \"clippingID\", \"tavloDate\", \"sync\", \"text$key\", \"text\") "
                           "VALUES (?, ?, ?, 1, tl_key(?6), ?6)", -1, &row, nullptr);
    sqlite3_prepare_v2(db, "INSERT INTO \"Clipping$search\" (rowid, \"text\") VALUES (?, tl_fold(3, ?))", -1, &search,
                       nullptr);
    int64_t pk = 900000000;
    for (auto _ : state) {
        std::string text = words(random, 200 + random() % 1801);
        std::string id = pseudoID(random);
        auto start = std::chrono::steady_clock::now();
        sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        sqlite3_bind_int64(row, 1, ++pk);
        sqlite3_bind_text(row, 2, id.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_double(row, 3, 2e9);
        sqlite3_bind_text(row, 6, text.data(), int(text.size()), SQLITE_TRANSIENT);
        sqlite3_step(row);
        sqlite3_reset(row);
        sqlite3_bind_int64(search, 1, pk);
        sqlite3_bind_text(search, 2, text.data(), int(text.size()), SQLITE_TRANSIENT);
        sqlite3_step(search);
        sqlite3_reset(search);
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        times.push_back(seconds * 1000);
    }
    sqlite3_finalize(row);
    sqlite3_finalize(search);
    sqlite3_exec(db, "DELETE FROM \"Clipping\" WHERE pk > 900000000; DELETE FROM \"Clipping$search\" WHERE rowid > 900000000",
                 nullptr, nullptr, nullptr);
    state.counters["median_ms"] = median(times);
}
BENCHMARK(BM_InsertAndSaveOneClipping_PlainSQLite)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
