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
// - BM_CopyToOtherProgramsClipboard/0, /1: the real programs, two Tavlo
//   processes each with its own X server, session bus and folders, sync and
//   clipboard sync on in their settings files, the account chosen with
//   tavlo-cloud use; each of 50 copies timed from xclip on A's display to the
//   text on B's clipboard (xclip -o on B's display, polled); median_ms, p95_ms.
//
//   build/bench/bench/sync_e2e_bench
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>
#include <filesystem>
#include <string>

#include "BenchMain.h"
#include "SyncBenchAccount.h"
#include "kit/TLUserDefaultsKeys.h"
#include "tests/e2e/RealProgram.h"

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

void BM_CopyToOtherProgramsClipboard(benchmark::State& state) {
    const bool onPostgres = state.range(0) == 1;
    const fs::path root = scratch() / (onPostgres ? "real-pg" : "real-embedded");
    cloud::Configuration configuration;
    configuration.account = "bench";
    if (onPostgres) {
        if (!syncbench::postgres() || !syncbench::postgres()->createDatabase("sync_e2e_bench_real")) std::abort();
        configuration.backend = cloud::Configuration::kPostgreSQLBackend;
        configuration.connection = syncbench::postgres()->connection("sync_e2e_bench_real");
    } else {
        configuration.folder = root / "cloud";
    }
    e2e::DeviceProcess a("A", root / "A"), b("B", root / "B");
    for (auto* device : {&a, &b}) {
        std::vector<std::string> use = {TAVLO_CLOUD_TOOL, "use"};
        if (onPostgres) use.insert(use.end(), {"postgresql", configuration.connection});
        else use.insert(use.end(), {"embedded", configuration.folder.string()});
        use.insert(use.end(), {"--account", configuration.account});
        if (testsupport::runCommand(use, std::chrono::seconds(30), device->environment()).status != 0)
            return state.SkipWithError("tavlo-cloud use failed");
        using foundation::PlistValue;
        if (!e2e::writeSettings(device->configHome(), "group.com.tavlo.Tavlo",
                                {{TLUserDefaultsInitialized, PlistValue(true)},
                                 {TLUserDefaultsCaptureClipboard, PlistValue(true)},
                                 {TLUserDefaultsSyncEnabled, PlistValue(true)},
                                 {TLUserDefaultsHideWindowOnLaunchKey, PlistValue(true)}}))
            return state.SkipWithError("the settings were not written");
    }
    if (testsupport::runCommand({TAVLO_CLOUD_TOOL, "zone", "add", "Tavlo Zone"}, std::chrono::seconds(30), a.environment())
            .status != 0)
        return state.SkipWithError("the zone was not made");
    e2e::RealProgram programA(a), programB(b);
    if (!programA.start() || !programB.start()) return state.SkipWithError("Tavlo did not start");
    // Clipboard sync switched on in the running programs, as the Sync pane does.
    for (auto* program : {&programA, &programB})
        if (!program->set({{TLUserDefaultsClipboardSync, foundation::PlistValue(true)},
                           {TLUserDefaultsShowClipboardSyncPushNotifications, foundation::PlistValue(false)}}))
            return state.SkipWithError("the settings were not written");
    std::this_thread::sleep_for(std::chrono::seconds(2));
    auto arrives = [&](const std::string& text, std::chrono::seconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (programB.clipboard() != text)
            if (std::chrono::steady_clock::now() > end) return false;
        return true;
    };
    // A first copy settles both programs' tokens and subscriptions.
    if (!programA.copyText("warming up") || !arrives("warming up", std::chrono::seconds(90)))
        return state.SkipWithError("the first copy never arrived");

    std::vector<double> latencies;
    int copies = 0;
    for (auto _ : state) {
        const std::string text = "copy number " + std::to_string(++copies);
        const auto started = std::chrono::steady_clock::now();
        if (!programA.copyText(text)) return state.SkipWithError("xclip failed");
        if (!arrives(text, std::chrono::seconds(30))) return state.SkipWithError(("not on B within 30 s: " + text).c_str());
        latencies.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count());
        // Copies never overlap: B settles first.
        state.PauseTiming();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        state.ResumeTiming();
    }
    syncbench::reportLatencies(state, std::move(latencies));
}
BENCHMARK(BM_CopyToOtherProgramsClipboard)->Arg(0)->Arg(1)->Iterations(50)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) { return bench::runBenchmarksThenRemove(argc, argv, scratch()); }
