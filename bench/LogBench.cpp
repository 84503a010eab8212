// Caller-side cost of an asynchronous log call and messages per second through
// the dispatcher, beside spdlog's asynchronous logger on the same messages. Both
// loggers format every message and discard the text.
#include <benchmark/benchmark.h>

#include "DiscardingLoggers.h"
#include "logging/TLLog.h"

namespace {

using namespace benchlog;

// A burst stays below both queues' capacity, so the caller's cost is measured
// rather than the consumer's speed.
constexpr int kBurst = 500;

void waitForTavlo(uint64_t expected) {
    auto& l = *tavloLogger();
    while (l.handled.load() < expected) LKLog::flushLog();
}

void waitForSpdlog(uint64_t expected) {
    auto& s = spdlogSetup();
    while (s.sink->handled.load() < expected) std::this_thread::yield();
}

void BM_TavloAsyncCall(benchmark::State& state) {
    auto logger = tavloLogger();
    uint64_t sent = logger->handled.load();
    for (auto _ : state) {
        for (int i = 0; i < kBurst; ++i) TLLogInfo(TLLogContextPasteboard, "Saved clipping %@ with %d assets", "C-0F8E", i);
        sent += kBurst;
        state.PauseTiming();
        waitForTavlo(sent);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kBurst);
    state.counters["lost"] = double(sent - logger->handled.load());
}
BENCHMARK(BM_TavloAsyncCall)->UseRealTime();

void BM_SpdlogAsyncCall(benchmark::State& state) {
    auto& s = spdlogSetup();
    uint64_t sent = s.sink->handled.load();
    for (auto _ : state) {
        for (int i = 0; i < kBurst; ++i) SPDLOG_LOGGER_INFO(s.logger, "Saved clipping {} with {} assets", "C-0F8E", i);
        sent += kBurst;
        state.PauseTiming();
        waitForSpdlog(sent);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kBurst);
    state.counters["lost"] = double(sent - s.sink->handled.load());
}
BENCHMARK(BM_SpdlogAsyncCall)->UseRealTime();

// Messages per second end to end: the caller floods, the clock stops when the
// last message has been formatted.
void BM_TavloThroughput(benchmark::State& state) {
    auto logger = tavloLogger();
    const int n = int(state.range(0));
    for (auto _ : state) {
        uint64_t start = logger->handled.load();
        for (int i = 0; i < n; ++i) TLLogInfo(TLLogContextPasteboard, "Saved clipping %@ with %d assets", "C-0F8E", i);
        waitForTavlo(start + uint64_t(n));
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_TavloThroughput)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SpdlogThroughput(benchmark::State& state) {
    auto& s = spdlogSetup();
    const int n = int(state.range(0));
    for (auto _ : state) {
        uint64_t start = s.sink->handled.load();
        for (int i = 0; i < n; ++i) SPDLOG_LOGGER_INFO(s.logger, "Saved clipping {} with {} assets", "C-0F8E", i);
        waitForSpdlog(start + uint64_t(n));
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_SpdlogThroughput)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
