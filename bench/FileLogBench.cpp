// Lines per second written to a rolling log file: LKFileLogger with the
// application's formatter, beside spdlog's rotating file sink on the same lines.
// Both roll at 1 MiB and keep one file. spdlog runs twice: with its stdio
// buffer (lines reach the file system when the buffer fills) and flushed after
// every line, which is what LKFileLogger always does (one write(2) per line, so
// a crash loses nothing that was logged).
#include <benchmark/benchmark.h>

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include <cstdlib>
#include <filesystem>

#include "logging/LKFileLogger.h"
#include "logging/LKLog.h"
#include "logging/LKLogFileManagerDefault.h"
#include "logging/TLLog.h"
#include "logging/TLLogFormatter.h"
#include "BenchMain.h"

namespace fs = std::filesystem;

namespace {

constexpr int kLines = 20000;
constexpr size_t kMaximumFileSize = 1024 * 1024;

fs::path benchFolder(const char* name) {
    fs::path folder = fs::temp_directory_path() / ("tavlo-filelog-bench-" + std::to_string(::getpid())) / name;
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

void BM_LKFileLogger(benchmark::State& state) {
    auto manager = std::make_shared<LKLogFileManagerDefault>(benchFolder("tavlo").string());
    manager->setMaximumNumberOfLogFiles(1);
    auto logger = std::make_shared<LKFileLogger>(manager);
    auto formatter = std::make_shared<TLLogFormatter>();
    formatter->setWhitelist(TLLogContextPasteboard);
    logger->setLogFormatter(formatter);
    logger->setMaximumFileSize(kMaximumFileSize);
    LKLog::flushLog();  // the settings above are in force
    logger->loggerQueue()->sync([] {});
    for (auto _ : state) {
        // The logger's own work, called here rather than on its queue so that
        // the CPU time is measured on this thread, as spdlog's is: nothing else
        // touches the logger meanwhile.
        for (int i = 0; i < kLines; ++i) {
            auto message = std::make_shared<LKLogMessage>(
                foundation::format("Saved clipping %@ with %d assets", "C-0F8E", i), TLLogLevel, LKLogFlagInfo,
                TLLogContextPasteboard, __FILE__, "TLPasteboardManager::saveClipping", __LINE__, nullptr, 0);
            logger->logMessage(message);
        }
    }
    state.SetItemsProcessed(state.iterations() * kLines);
}
BENCHMARK(BM_LKFileLogger)->Unit(benchmark::kMillisecond)->UseRealTime();

void spdlogRun(benchmark::State& state, bool flushEveryLine) {
    auto folder = benchFolder(flushEveryLine ? "spdlog-flushed" : "spdlog-buffered");
    auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>((folder / "bench.log").string(),
                                                                       kMaximumFileSize, 1);
    spdlog::logger logger("bench", sink);
    logger.set_pattern(">> %D %H:%M | [%l] | %! | Line %# | %v");
    if (flushEveryLine) logger.flush_on(spdlog::level::trace);
    for (auto _ : state) {
        for (int i = 0; i < kLines; ++i)
            logger.log(spdlog::source_loc{__FILE__, __LINE__, "TLPasteboardManager::saveClipping"},
                       spdlog::level::info, "Saved clipping {} with {} assets", "C-0F8E", i);
        logger.flush();
    }
    state.SetItemsProcessed(state.iterations() * kLines);
}

void BM_SpdlogRotatingBuffered(benchmark::State& state) { spdlogRun(state, false); }
BENCHMARK(BM_SpdlogRotatingBuffered)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SpdlogRotatingFlushedPerLine(benchmark::State& state) { spdlogRun(state, true); }
BENCHMARK(BM_SpdlogRotatingFlushedPerLine)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    return bench::runBenchmarksThenRemove(
        argc, argv, fs::temp_directory_path() / ("tavlo-filelog-bench-" + std::to_string(::getpid())));
}
