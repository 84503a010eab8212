#pragma once
// The central dispatcher of the logging facility. Every log line enters through
// LKLog::log(), becomes a LKLogMessage, and is handed on the serial "logcore"
// queue to every registered logger whose level admits the message's flag; each
// logger formats and writes on its own queue. Process-wide state, never torn
// down: loggers may still be writing while the process exits.
//
// Any thread may call. At most 1000 messages wait to be dispatched; the next
// caller waits for a slot. A synchronous call returns after every admitting
// logger handled the message. Calls made from the logging machinery itself (the
// logging queue or a logger's queue) never wait: they would wait on themselves.
// Nor does the main thread wait behind a backlog: with no free slot or more
// than a few dozen lines queued ahead, its line (an error too) is queued and
// the call returns at once.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "LKLogMessage.h"
#include "LKLogger.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Format.h"

// A class whose level can be read and set by name (the facility's per-class levels).
struct LKLogClass {
    std::string name;
    std::function<uint64_t()> lkLogLevel;
    std::function<void(uint64_t)> lkSetLogLevel;
};

class LKLog {
public:
    static std::shared_ptr<dispatch::Queue> loggingQueue();

    static void addLogger(std::shared_ptr<LKLogger> logger);
    static void addLogger(std::shared_ptr<LKLogger> logger, uint64_t level);
    static void removeLogger(const std::shared_ptr<LKLogger>& logger);
    static void removeAllLoggers();
    static std::vector<std::shared_ptr<LKLogger>> allLoggers();

    // A null format logs nothing.
    template <class... Args>
    static void log(bool asynchronous, uint64_t level, uint64_t flag, int64_t context, const char* file,
                    const char* function, uint64_t line, std::shared_ptr<void> tag, const char* format,
                    const Args&... args) {
        if (!format) return;
        logMessage(asynchronous, foundation::format(format, args...), level, flag, context, file, function, line,
                   std::move(tag));
    }
    static void log(bool asynchronous, uint64_t level, uint64_t flag, int64_t context, const char* file,
                    const char* function, uint64_t line, std::shared_ptr<void> tag, const char* format,
                    const std::vector<foundation::FormatArg>& args);
    static void logMessage(bool asynchronous, std::string message, uint64_t level, uint64_t flag, int64_t context,
                           const char* file, const char* function, uint64_t line, std::shared_ptr<void> tag);
    static void logMessage(bool asynchronous, std::shared_ptr<const LKLogMessage> message);
    static void queueLogMessage(std::shared_ptr<const LKLogMessage> message, bool asynchronously);

    // Flushes every logger that implements flush(); returns when all are done.
    static void flushLog();
    static void applicationWillTerminate();

    // Per-class levels. A class counts as registered when it has both functions.
    static void registerClass(LKLogClass logClass);
    static bool isRegisteredClass(const LKLogClass& logClass);
    static std::vector<LKLogClass> registeredClasses();
    static std::vector<std::string> registeredClassNames();
    static uint64_t levelForClass(const LKLogClass& logClass);
    static uint64_t levelForClassWithName(const std::string& name);
    static void setLevel(uint64_t level, const LKLogClass& logClass);
    static void setLevelForClassWithName(uint64_t level, const std::string& name);

    // True on the logging queue (the identity key it carries).
    static bool isOnLoggingQueue();
    // The key the logging queue carries as its own specific value.
    static const void* loggingQueueIdentityKey();
};
