// The kits' key-value store beside the standard user defaults on the same
// 1,000 keys (both write the same XML property list through a temporary file
// and a rename), and the first Beacon::sharedSDK() of a process: the install
// identifier read, the running program's identity and the icon file.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "platform/foundation/UserDefaults.h"
#include "sdk/beacon/BBXUserDefaults.h"
#include "sdk/beacon/Beacon.h"

namespace {

constexpr int kKeys = 1000;

std::filesystem::path root() {
    static const std::filesystem::path folder = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "tavlo-beacon-bench-XXXXXX").string();
        std::filesystem::path made = ::mkdtemp(pattern.data());
        for (const char* name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"})
            ::setenv(name, (made / name).c_str(), 1);
        return made;
    }();
    return folder;
}

template <class Store>
void fill(Store& store) {
    for (int i = 0; i < kKeys; ++i)
        store.setObject(foundation::PlistValue("value number " + std::to_string(i)), "key." + std::to_string(i));
}

void BM_BBXUserDefaultsSynchronize(benchmark::State& state) {
    BBXUserDefaults store(root() / "bbx-sync");
    fill(store);
    int64_t round = 0;
    for (auto _ : state) {
        store.setObject(foundation::PlistValue(++round), "key.0");
        benchmark::DoNotOptimize(store.synchronize());
    }
}
BENCHMARK(BM_BBXUserDefaultsSynchronize)->Unit(benchmark::kMicrosecond);

void BM_UserDefaultsSynchronize(benchmark::State& state) {
    auto suite = foundation::UserDefaults::suite("bench-sync");
    fill(*suite);
    int64_t round = 0;
    for (auto _ : state) {
        suite->setObject(foundation::PlistValue(++round), "key.0");
        benchmark::DoNotOptimize(suite->synchronize());
    }
}
BENCHMARK(BM_UserDefaultsSynchronize)->Unit(benchmark::kMicrosecond);

void BM_BBXUserDefaultsLoad(benchmark::State& state) {
    {
        BBXUserDefaults store(root() / "bbx-load");
        fill(store);
        store.synchronize();
    }
    for (auto _ : state) {
        BBXUserDefaults store(root() / "bbx-load");
        benchmark::DoNotOptimize(store.objectForKey("key.999"));
    }
}
BENCHMARK(BM_BBXUserDefaultsLoad)->Unit(benchmark::kMicrosecond);

// Each round opens the same file under a suite name not seen before, so the
// suite is read from disk as a fresh process would.
void BM_UserDefaultsLoad(benchmark::State& state) {
    auto source = foundation::UserDefaults::suite("bench-load");
    fill(*source);
    source->synchronize();
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::string name = "bench-load-" + std::to_string(++round);
        std::filesystem::copy_file(source->filePath(), source->filePath().parent_path() / (name + ".plist"));
        state.ResumeTiming();
        benchmark::DoNotOptimize(foundation::UserDefaults::suite(name)->objectForKey("key.999"));
    }
}
BENCHMARK(BM_UserDefaultsLoad)->Unit(benchmark::kMicrosecond)->Iterations(300);

// A Beacon of its own each round, on an install identifier already stored.
void BM_BeaconInit(benchmark::State& state) {
    auto store = std::make_shared<BBXUserDefaults>(root() / "beacon-init");
    for (auto _ : state) {
        Beacon beacon(Beacon::Environment{nullptr, store, nullptr});
        benchmark::DoNotOptimize(beacon.instanceIdentifier());
    }
}
BENCHMARK(BM_BeaconInit)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    root();
    auto start = std::chrono::steady_clock::now();
    auto beacon = Beacon::sharedSDK();
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("first Beacon::sharedSDK(): %.2f ms (first install: %d)\n", ms, beacon->isFirstInstall() ? 1 : 0);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    std::filesystem::remove_all(root(), ignored);
    return 0;
}
