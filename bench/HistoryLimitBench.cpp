// The count behind the warning of a lower history limit: 100,000 clippings of
// which 10,000 (spread through the history) are in lists, the limit lowered
// to 50,000, counted on the main thread through the main context as the
// General pane counts them. Beside it, the sqlite3 command line's count of the
// same rows on the same file: the whole process (spawn to exit) and the
// query's own time that its ".timer on" reports. Medians and bests of 9 runs.
//
//   build/rel/bench/history_limit_bench

#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <vector>

#include "ViewController/TLGeneralPreferencesViewController.h"
#include "bench/BenchProcess.h"
#include "kit/Clipping.h"
#include "kit/List.h"
#include "kit/TLDatabaseManager.h"
#include "platform/dispatch/MainQueue.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int64_t kHistory = 100000;
constexpr int64_t kListed = 10000;
constexpr int64_t kLimit = 50000;
constexpr int kRuns = 9;

std::string run(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return out;
    char buffer[4096];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
    ::pclose(pipe);
    return out;
}

double best(std::vector<double> values) { return *std::min_element(values.begin(), values.end()); }

}  // namespace

int main() {
    char pattern[] = "/tmp/tavlo-history-limit-bench-XXXXXX";
    fs::path home = ::mkdtemp(pattern);
    for (const char* var : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"}) {
        fs::create_directories(home / var);
        ::setenv(var, (home / var).c_str(), 1);
    }
    fs::path container = home / "XDG_DATA_HOME" / "Tavlo";
    int64_t expected = 0;
    {
        auto database = std::make_unique<TLDatabaseManager>(
            TLDatabaseManager::Configuration{fs::path(TAVLO_SOURCE_DIR) / "resources/Tavlo.momd", container});
        auto context = database->managedObjectContext();
        std::vector<std::shared_ptr<List>> lists;
        for (int i = 0; i < 10; ++i) {
            auto list = std::static_pointer_cast<List>(context->insertNewObject(List::kEntityName));
            list->setListID("L-" + std::to_string(i));
            list->setName("List " + std::to_string(i));
            lists.push_back(list);
        }
        for (int64_t i = 0; i < kHistory; ++i) {
            auto c = std::static_pointer_cast<Clipping>(context->insertNewObject(Clipping::kEntityName));
            c->setClippingID(Clipping::makeClippingID());
            c->setText("Clipping " + std::to_string(i) + std::string(200, 'x'));
            c->setTavloDate(foundation::Date(1e9 + double(i)));
            c->setModifiedDate(foundation::Date(1e9 + double(i)));
            // Every tenth clipping is in a list; the oldest half holds 5,000 of them.
            bool listed = i % (kHistory / kListed) == 0;
            if (listed) c->setList(lists[size_t(i % 10)]);
            if (!listed && i < kHistory - kLimit) ++expected;
            if (i % 10000 == 9999) {
                (void)context->save();
                dispatch::MainQueue::runUntilIdle();
            }
        }
        (void)context->save();
        database->parentManagedObjectContext()->performBlockAndWait([] {});
    }

    // A fresh open, as after a launch: the main context holds none of the rows.
    auto database = std::make_unique<TLDatabaseManager>(
        TLDatabaseManager::Configuration{fs::path(TAVLO_SOURCE_DIR) / "resources/Tavlo.momd", container});
    auto context = database->managedObjectContext();
    std::vector<double> ours, cliProcess, cliQuery;
    int64_t counted = -1;
    std::string cliCounted;
    const std::string query = "SELECT count(*) FROM (SELECT list FROM Clipping ORDER BY tavloDate DESC LIMIT -1 OFFSET " +
                              std::to_string(kLimit) + ") WHERE list IS NULL";
    const std::string file = (container / "datastore").string();
    for (int i = 0; i < kRuns; ++i) {
        auto start = Clock::now();
        counted = TLGeneralPreferencesViewController::clippingsPastLimit(*context, kLimit);
        ours.push_back(bench::ms(Clock::now() - start));

        start = Clock::now();
        cliCounted = run("sqlite3 -readonly '" + file + "' '" + query + "'");
        cliProcess.push_back(bench::ms(Clock::now() - start));
        // The timer reports only for statements read from its input.
        std::string timed = run("printf '.timer on\\n" + query + ";\\n' | sqlite3 -readonly '" + file + "'");
        std::smatch match;
        if (std::regex_search(timed, match, std::regex("Run Time: real ([0-9.]+)")))
            cliQuery.push_back(std::stod(match[1]) * 1000);
    }
    while (!cliCounted.empty() && (cliCounted.back() == '\n' || cliCounted.back() == '\r')) cliCounted.pop_back();
    std::printf("count: ours %lld, sqlite3 %s, expected %lld\n", (long long)counted, cliCounted.c_str(),
                (long long)expected);
    std::printf("ours (main context, main thread): median %.1f ms, best %.1f ms\n", bench::median(ours), best(ours));
    std::printf("sqlite3 process, spawn to exit:   median %.1f ms, best %.1f ms\n", bench::median(cliProcess),
                best(cliProcess));
    if (!cliQuery.empty())
        std::printf("sqlite3 query (.timer):           median %.1f ms, best %.1f ms\n", bench::median(cliQuery),
                    best(cliQuery));
    database.reset();
    std::error_code ignored;
    fs::remove_all(home, ignored);
    return counted == expected && cliCounted == std::to_string(expected) ? 0 : 1;
}
