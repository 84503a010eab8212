#pragma once
// The loggers the logging benchmarks compare: an LKLog logger and a spdlog
// asynchronous logger, each formatting every message and discarding the text,
// counting what they handled so a benchmark can wait for its messages.
#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <spdlog/async.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include "logging/LKAbstractLogger.h"
#include "logging/LKLog.h"
#include "logging/TLLog.h"
#include "logging/TLLogFormatter.h"

namespace benchlog {

class DiscardingLogger : public LKAbstractLogger {
public:
    std::atomic<uint64_t> handled{0};
    void logMessage(const std::shared_ptr<const LKLogMessage>& message) override {
        if (formatter_) {
            auto line = formatter_->formatLogMessage(*message);
            benchmark::DoNotOptimize(line);
        }
        handled.fetch_add(1, std::memory_order_relaxed);
    }
    std::string loggerName() const override { return "bench.discard"; }
};

template <class Mutex>
class DiscardingSink : public spdlog::sinks::base_sink<Mutex> {
public:
    std::atomic<uint64_t> handled{0};

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        spdlog::memory_buf_t formatted;
        this->formatter_->format(msg, formatted);
        benchmark::DoNotOptimize(formatted.data());
        handled.fetch_add(1, std::memory_order_relaxed);
    }
    void flush_() override {}
};

inline std::shared_ptr<DiscardingLogger> tavloLogger() {
    static std::shared_ptr<DiscardingLogger> logger = [] {
        auto l = std::make_shared<DiscardingLogger>();
        auto f = std::make_shared<TLLogFormatter>();
        f->setWhitelist(TLLogContextPasteboard);
        l->setLogFormatter(f);
        LKLog::addLogger(l);
        return l;
    }();
    return logger;
}

struct SpdlogSetup {
    std::shared_ptr<DiscardingSink<std::mutex>> sink = std::make_shared<DiscardingSink<std::mutex>>();
    std::shared_ptr<spdlog::async_logger> logger;
    SpdlogSetup() {
        spdlog::init_thread_pool(8192, 1);
        logger = std::make_shared<spdlog::async_logger>("bench", sink, spdlog::thread_pool(),
                                                        spdlog::async_overflow_policy::block);
        logger->set_pattern(">> %D %H:%M | [%l] | %! | Line %# | %v");
    }
};

inline SpdlogSetup& spdlogSetup() {
    static SpdlogSetup s;
    return s;
}

}  // namespace benchlog
