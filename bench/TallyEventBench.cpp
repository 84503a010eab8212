// The analytics kit's event lines: building a custom event with five
// attributes and encoding its line, beside nlohmann::json's dump of the same
// payload object already built; appending lines through BBXEventLogEventFile
// (one write(2) per line, so a line is in the file system when the call
// returns) beside spdlog's basic file sink flushed after every line, the same
// durability; and the bytes a line takes on disk beside its plain JSON payload.
#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <filesystem>

#include "platform/foundation/JSON.h"
#include "sdk/tally/BBXAnalyticsEvent.h"
#include "sdk/tally/BBXEventLogEventFile.h"
#include "sdk/tally/BBXTallyCustomEvent.h"
#include "BenchMain.h"

namespace fs = std::filesystem;
using foundation::PlistValue;

namespace {

constexpr int kLines = 20000;
constexpr const char* kEventId = "1B4E28BA-2FA1-41D2-883F-0016D3CCA427";

fs::path benchFolder(const char* name) {
    fs::path folder = fs::temp_directory_path() / ("tavlo-tally-bench-" + std::to_string(::getpid())) / name;
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

PlistValue::Dictionary fiveAttributes(int i) {
    return {{"screen", "preferences"}, {"count", i}, {"ratio", 0.25}, {"source", "status-menu"}, {"first", true}};
}

std::string customLine(int i) {
    auto event = BBXTallyCustomEvent::initWithName("clipping_copied", fiveAttributes(i));
    auto line = BBXAnalyticsEvent::initWithTallyEvent(*event, 1700000000000 + i, kEventId);
    std::string bytes;
    line->appendEventData(bytes);
    return bytes;
}

nlohmann::json payloadObject(int i) {
    return {{"custom_type", "clipping_copied"},
            {"predefined_attributes", nlohmann::json::object()},
            {"custom_attributes",
             {{"screen", "preferences"}, {"count", i}, {"ratio", 0.25}, {"source", "status-menu"}, {"first", true}}},
            {"eventId", kEventId}};
}

void BM_TallyCustomEventLine(benchmark::State& state) {
    int i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(customLine(++i));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TallyCustomEventLine);

void BM_NlohmannDumpOfTheSameObject(benchmark::State& state) {
    const nlohmann::json object = payloadObject(1);
    for (auto _ : state) benchmark::DoNotOptimize(object.dump());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NlohmannDumpOfTheSameObject);

// The encoding step alone: foundation::JSON's compact writer on the same
// payload, already built.
void BM_FoundationJSONWriteOfTheSameObject(benchmark::State& state) {
    auto event = BBXTallyCustomEvent::initWithName("clipping_copied", fiveAttributes(1));
    PlistValue payload(event->payloadDictionary());
    (*payload.asDictionary())["eventId"] = kEventId;
    for (auto _ : state) benchmark::DoNotOptimize(foundation::JSON::write(payload));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FoundationJSONWriteOfTheSameObject);

void BM_EventLogEventFileAppend(benchmark::State& state) {
    auto folder = benchFolder("tally");
    auto file = BBXEventLogEventFile::initWithName("2.log", folder);
    auto event = BBXAnalyticsEvent::initWithTallyEvent(*BBXTallyCustomEvent::initWithName("clipping_copied", fiveAttributes(1)),
                                                       1700000000000, kEventId);
    for (auto _ : state) {
        for (int n = 0; n < kLines; ++n)
            if (!file->appendEvent(*event).ok()) state.SkipWithError("append failed");
    }
    state.SetItemsProcessed(state.iterations() * kLines);
    // Bytes on disk per event beside the plain JSON payload.
    state.counters["line_bytes"] = static_cast<double>(event->eventData().length());
    state.counters["json_bytes"] = static_cast<double>(event->payload()->length());
}
BENCHMARK(BM_EventLogEventFileAppend)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SpdlogBasicFileFlushedPerLine(benchmark::State& state) {
    auto folder = benchFolder("spdlog");
    auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>((folder / "2.log").string(), true);
    spdlog::logger logger("bench", sink);
    logger.set_pattern("%v");
    logger.flush_on(spdlog::level::trace);
    std::string line = customLine(1);
    line.pop_back();  // the sink adds the line end
    for (auto _ : state) {
        for (int n = 0; n < kLines; ++n) logger.info(line);
    }
    state.SetItemsProcessed(state.iterations() * kLines);
}
BENCHMARK(BM_SpdlogBasicFileFlushedPerLine)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    return bench::runBenchmarksThenRemove(
        argc, argv, fs::temp_directory_path() / ("tavlo-tally-bench-" + std::to_string(::getpid())));
}
