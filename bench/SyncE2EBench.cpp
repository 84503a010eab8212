// Two devices end to end, each a process of its own, on the embedded store
// and on PostgreSQL (a server the benchmark starts as the tests do), in one run:
//
// - BM_FirstFullSync/0 (embedded), /1 (PostgreSQL): device A has saved 10,000
//   clippings, 1,000 of them with a PNG asset of 100 KB (distinct bytes); B is
//   a fresh sync_device process in a home of its own on the same account,
//   timed from its "sync on" to its idle after the launch pass (every record
//   fetched, applied and saved, the token at the zone's last change).
// - BM_PlainLibpqInsert/10000/1000: the floor, the same rows and bytes in one
//   transaction through plain libpq.
//
//   build/bench/bench/sync_e2e_bench
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "BenchMain.h"
#include "SyncBenchAccount.h"

namespace {

namespace fs = std::filesystem;

constexpr int kClippings = 10000;
constexpr int kAssets = 1000;

fs::path scratch() {
    static const fs::path folder = [] {
        char pattern[] = "/tmp/tavlo-sync-e2e-bench-XXXXXX";
        return fs::path(::mkdtemp(pattern));
    }();
    return folder;
}

// An account on the back-end that A has filled.
cloud::Configuration filledAccount(bool onPostgres) {
    cloud::Configuration configuration;
    configuration.account = "bench";
    if (onPostgres) {
        if (!syncbench::postgres() || !syncbench::postgres()->createDatabase("sync_e2e_bench")) std::abort();
        configuration.backend = cloud::Configuration::kPostgreSQLBackend;
        configuration.connection = syncbench::postgres()->connection("sync_e2e_bench");
    } else {
        configuration.folder = scratch() / "cloud";
    }
    syncbench::fillZone(configuration, kClippings, kAssets, scratch() / "upload");
    return configuration;
}

void BM_FirstFullSync(benchmark::State& state) {
    const bool onPostgres = state.range(0) == 1;
    const cloud::Configuration configuration = filledAccount(onPostgres);
    int run = 0;
    for (auto _ : state) {
        state.PauseTiming();
        syncbench::OtherDevice b(configuration, scratch() / ("b-" + std::to_string(onPostgres) + "-" + std::to_string(++run)));
        state.ResumeTiming();
        for (const char* command : {"sync on", "start"})
            if (b.send(command) != "ok") return state.SkipWithError((std::string("B refused ") + command).c_str());
        if (b.send("idle", std::chrono::seconds(600)) != "idle") return state.SkipWithError("B never went idle");
        state.PauseTiming();
        // Every clipping and asset arrived, and the token stands at the zone's last change.
        std::string token = b.send("token");
        if (b.next(std::chrono::seconds(30)) != "ok" || token.find("\"behind\":0") == std::string::npos)
            state.SkipWithError(("B's token is behind: " + token).c_str());
        int clippings = 0, assets = 0;
        for (std::string line = b.send("dump", std::chrono::seconds(60));; line = b.next(std::chrono::seconds(60))) {
            if (line == "ok" || line.rfind("error", 0) == 0) break;
            if (line.find("\"type\":\"Clipping\"") != std::string::npos) ++clippings;
            if (line.find("\"type\":\"Asset\"") != std::string::npos) ++assets;
        }
        state.counters["clippings"] = clippings;
        state.counters["assets"] = assets;
        if (clippings != kClippings || assets != kAssets) state.SkipWithError("not every record arrived");
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * (kClippings + kAssets));
}
BENCHMARK(BM_FirstFullSync)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PlainLibpqInsert(benchmark::State& state) {
    syncbench::plainLibpqInsert(state, static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
}
BENCHMARK(BM_PlainLibpqInsert)->Args({kClippings, kAssets})->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) { return bench::runBenchmarksThenRemove(argc, argv, scratch()); }
