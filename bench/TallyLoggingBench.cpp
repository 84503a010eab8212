// The analytics kit as a caller meets it, through a controller started on a
// private tree (its own store, registry and notification centre, so no
// settings download leaves the machine):
//  - the caller's cost of a custom event with five attributes (what
//    Tally::logCustomEventWithName does: make the event, hand it to the
//    controller), beside LKLog's asynchronous call and spdlog's asynchronous
//    logger given the same event as JSON text (both format and discard);
//  - a lifecycle event's synchronous write beside a plain write(2) of the same
//    line to a file opened for appending, p50 and p99 per call;
//  - 100,000 custom events until they are on disk, beside spdlog's basic file
//    sink flushed after every line;
//  - the bytes an event takes on disk beside its plain JSON payload.
// Run it with HOME and the XDG folders pointed at a temporary folder.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include <spdlog/sinks/basic_file_sink.h>

#include "DiscardingLoggers.h"
#include "logging/TLLog.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/UserDefaults.h"
#include "sdk/beacon/BBXUserDefaults.h"
#include "sdk/beacon/BCNKitRegistry.h"
#include "sdk/beacon/Beacon.h"
#include "sdk/tally/BBXAnalyticsApplicationLifecycleEvent.h"
#include "sdk/tally/BBXAnalyticsController.h"
#include "sdk/tally/BBXAnalyticsEvent.h"
#include "sdk/tally/BBXTallyCustomEvent.h"
#include "BenchMain.h"

namespace fs = std::filesystem;
using foundation::PlistValue;
using Lifecycle = BBXAnalyticsApplicationLifecycleEvent;

namespace {

using namespace benchlog;

// A burst stays below every queue's capacity, so the caller's cost is measured
// rather than the consumer's speed.
constexpr int kBurst = 500;
constexpr int kEvents = 100000;
constexpr int kSamples = 2000;
constexpr const char* kEventId = "1B4E28BA-2FA1-41D2-883F-0016D3CCA427";

fs::path benchRoot() {
    static fs::path root = [] {
        fs::path r = fs::temp_directory_path() / ("tavlo-tally-logging-bench-" + std::to_string(::getpid()));
        fs::remove_all(r);
        fs::create_directories(r);
        return r;
    }();
    return root;
}

PlistValue::Dictionary fiveAttributes() {
    return {{"screen", "preferences"}, {"count", 42}, {"ratio", 0.25}, {"source", "status-menu"}, {"first", true}};
}

// The event's JSON payload, as the kit encodes it: the text the loggers get.
std::string eventJSON() {
    auto event = BBXTallyCustomEvent::initWithName("clipping_copied", fiveAttributes());
    auto line = BBXAnalyticsEvent::initWithTallyEvent(*event, 1700000000000, kEventId);
    return line->payload()->toString();
}

struct Kit {
    BCNKitRegistry registry;
    foundation::NotificationCenter center;
    std::shared_ptr<Beacon> beacon;
    std::shared_ptr<BBXAnalyticsController> controller;
    Kit() {
        fs::path store = benchRoot() / "store";
        beacon = std::make_shared<Beacon>(Beacon::Environment{
            nullptr, std::make_shared<BBXUserDefaults>(store, foundation::UserDefaults::suite("standard")), &registry});
        beacon->setAPIKey("bench-key");
        BBXAnalyticsController::Environment environment;
        environment.beacon = beacon;
        environment.store = std::make_shared<BBXUserDefaults>(store);
        environment.center = &center;
        controller = BBXAnalyticsController::initWithSessionIdentifier(beacon->executionIdentifier(), benchRoot() / "analytics",
                                                                       std::nullopt, environment);
        drain();
    }
    void drain() {
        if (!controller) return;
        controller->sessionMaintenanceQueue()->sync([] {});
        for (uint64_t p = 0; p < 3; ++p) controller->priorityEventLoggingQueue(p)->sync([] {});
    }
    void logCustom(const PlistValue::Dictionary& attributes) {
        controller->logCustomEvent(BBXTallyCustomEvent::initWithName("clipping_copied", attributes));
    }
};

Kit& kit() {
    static Kit* k = new Kit;  // lives to exit: its queues must not be torn down under late work
    return *k;
}

void BM_TallyCustomEventCall(benchmark::State& state) {
    auto& k = kit();
    if (!k.controller) {
        state.SkipWithError("the analytics controller did not start");
        return;
    }
    const auto attributes = fiveAttributes();
    for (auto _ : state) {
        for (int i = 0; i < kBurst; ++i) k.logCustom(attributes);
        state.PauseTiming();
        k.controller->priorityEventLoggingQueue(2)->sync([] {});
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kBurst);
}
BENCHMARK(BM_TallyCustomEventCall)->UseRealTime();

void BM_LKLogAsyncCallWithEventJSON(benchmark::State& state) {
    auto logger = tavloLogger();
    const std::string json = eventJSON();
    uint64_t sent = logger->handled.load();
    for (auto _ : state) {
        for (int i = 0; i < kBurst; ++i) TLLogInfo(TLLogContextPasteboard, "%@", json.c_str());
        sent += kBurst;
        state.PauseTiming();
        while (logger->handled.load() < sent) LKLog::flushLog();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kBurst);
}
BENCHMARK(BM_LKLogAsyncCallWithEventJSON)->UseRealTime();

void BM_SpdlogAsyncCallWithEventJSON(benchmark::State& state) {
    auto& s = spdlogSetup();
    const std::string json = eventJSON();
    uint64_t sent = s.sink->handled.load();
    for (auto _ : state) {
        for (int i = 0; i < kBurst; ++i) SPDLOG_LOGGER_INFO(s.logger, "{}", json);
        sent += kBurst;
        state.PauseTiming();
        while (s.sink->handled.load() < sent) std::this_thread::yield();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kBurst);
}
BENCHMARK(BM_SpdlogAsyncCallWithEventJSON)->UseRealTime();

// Per-call latencies: each iteration times kSamples calls one by one and
// reports their p50 and p99 (nanoseconds); the iteration's own time is their sum.
template <class Call>
void latencies(benchmark::State& state, Call call) {
    std::vector<double> samples(kSamples);
    std::vector<double> p50s, p99s;
    for (auto _ : state) {
        double total = 0;
        for (auto& sample : samples) {
            auto start = std::chrono::steady_clock::now();
            call();
            sample = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
            total += sample;
        }
        state.SetIterationTime(total / 1e9);
        std::sort(samples.begin(), samples.end());
        p50s.push_back(samples[kSamples / 2]);
        p99s.push_back(samples[kSamples * 99 / 100]);
    }
    std::sort(p50s.begin(), p50s.end());
    std::sort(p99s.begin(), p99s.end());
    if (!p50s.empty()) {
        state.counters["p50_ns"] = p50s[p50s.size() / 2];
        state.counters["p99_ns"] = p99s[p99s.size() / 2];
    }
    state.SetItemsProcessed(state.iterations() * kSamples);
}

// app_became_inactive (no settings, so no flush on background): priority 1,
// written on the caller's thread before the call returns.
void BM_TallyLifecycleEventSyncWrite(benchmark::State& state) {
    auto& k = kit();
    if (!k.controller) {
        state.SkipWithError("the analytics controller did not start");
        return;
    }
    latencies(state, [&] { k.controller->applicationLifecycleEvent(Lifecycle::kWillResignActiveNotification); });
}
BENCHMARK(BM_TallyLifecycleEventSyncWrite)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_PlainWriteOfTheSameLine(benchmark::State& state) {
    auto event = Lifecycle::initWithApplicationNotificationName(Lifecycle::kWillResignActiveNotification, 1700000000000,
                                                                kEventId, false);
    std::string line;
    event->appendEventData(line);
    fs::path path = benchRoot() / "plain.log";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        state.SkipWithError("open failed");
        return;
    }
    bool failed = false;
    latencies(state, [&] { failed |= ::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()); });
    ::close(fd);
    if (failed) state.SkipWithError("write failed");
}
BENCHMARK(BM_PlainWriteOfTheSameLine)->UseManualTime()->Unit(benchmark::kMillisecond);

uintmax_t bytesUnder(const fs::path& folder) {
    uintmax_t total = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (it->is_regular_file(ec)) total += it->file_size(ec);
    return total;
}

// 100,000 custom events until the last is written; the bytes they added to the
// analytics tree per event, beside the event's plain JSON payload.
void BM_TallyCustomEventsOnDisk(benchmark::State& state) {
    auto& k = kit();
    if (!k.controller) {
        state.SkipWithError("the analytics controller did not start");
        return;
    }
    const auto attributes = fiveAttributes();
    const fs::path tree = benchRoot() / "analytics";
    double added = 0;
    for (auto _ : state) {
        state.PauseTiming();
        k.drain();
        uintmax_t before = bytesUnder(tree);
        state.ResumeTiming();
        for (int i = 0; i < kEvents; ++i) k.logCustom(attributes);
        k.controller->priorityEventLoggingQueue(2)->sync([] {});
        state.PauseTiming();
        added += static_cast<double>(bytesUnder(tree) - before);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kEvents);
    state.counters["disk_bytes_per_event"] = added / (static_cast<double>(state.iterations()) * kEvents);
    state.counters["json_bytes"] = static_cast<double>(eventJSON().size());
}
BENCHMARK(BM_TallyCustomEventsOnDisk)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SpdlogBasicFileFlushedPerLine(benchmark::State& state) {
    fs::path folder = benchRoot() / "spdlog";
    fs::create_directories(folder);
    auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>((folder / "events.log").string(), true);
    spdlog::logger logger("bench-file", sink);
    logger.set_pattern("%v");
    logger.flush_on(spdlog::level::trace);
    const std::string json = eventJSON();
    for (auto _ : state) {
        for (int i = 0; i < kEvents; ++i) logger.info(json);
    }
    state.SetItemsProcessed(state.iterations() * kEvents);
}
BENCHMARK(BM_SpdlogBasicFileFlushedPerLine)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    int status = bench::runBenchmarksThenRemove(argc, argv, benchRoot());
    if (status != 0) return status;
    // Ends without static destructors: the kit's queues and the logging
    // dispatcher may still hold work that exit would tear down under them.
    std::fflush(stdout);
    std::_Exit(0);
}
