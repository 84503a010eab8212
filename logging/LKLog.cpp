#include "LKLog.h"

#include <QCoreApplication>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <unistd.h>

#include "LKLoggerNode.h"
#include "platform/dispatch/Group.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/foundation/ThreadIdentity.h"

namespace {

// Messages queued but not yet dispatched; the next caller waits for a slot.
constexpr long kMaxQueuedMessages = 1000;
// The main thread never waits for a slot, and a synchronous call on it waits
// for its own line only behind this many others: the interface must not stop
// while a slow logger works through a backlog. Past that its line is queued.
constexpr long kMainThreadWaitBehind = 32;

char kLoggingQueueKey;

// Set while this thread runs a logger's block for the dispatcher, so a log call
// made from inside a logger does not wait on the dispatch that is waiting on it.
thread_local int tInsideLogger = 0;

struct InsideLogger {
    InsideLogger() { ++tInsideLogger; }
    ~InsideLogger() { --tInsideLogger; }
};

struct State {
    std::shared_ptr<dispatch::Queue> queue = dispatch::Queue::createSerial("logcore");
    std::vector<std::shared_ptr<LKLoggerNode>> loggers;  // logging queue only
    dispatch::Group group;
    dispatch::Semaphore freeSlots{kMaxQueuedMessages};
    std::atomic<long> queued{0};  // messages handed over and not yet dispatched
    int processors = 1;
    std::atomic<bool> terminated{false};
    std::mutex classesMutex;
    std::vector<LKLogClass> classes;
};

void terminateAtExit() { LKLog::applicationWillTerminate(); }

State& state() {
    // Never destroyed: logger queues may still run while the process exits.
    static State* s = [] {
        auto* st = new State;
        st->loggers.reserve(4);
        st->queue->setSpecific(&kLoggingQueueKey, &kLoggingQueueKey);
        long n = ::sysconf(_SC_NPROCESSORS_CONF);
        st->processors = n > 1 ? static_cast<int>(n) : 1;
        if (QCoreApplication* app = QCoreApplication::instance()) {
            QObject::connect(app, &QCoreApplication::aboutToQuit, [] { LKLog::applicationWillTerminate(); });
        }
        // Also at exit, for processes without an application or that exit without
        // quitting it; the termination flush still happens only once.
        std::atexit(terminateAtExit);
        return st;
    }();
    return *s;
}

bool insideLoggingMachinery() { return tInsideLogger > 0 || LKLog::isOnLoggingQueue(); }

void ltAddLogger(const std::shared_ptr<LKLogger>& logger, uint64_t level) {
    std::shared_ptr<dispatch::Queue> queue = logger->loggerQueue();
    if (!queue) queue = dispatch::Queue::createSerial(logger->loggerName());
    state().loggers.push_back(LKLoggerNode::nodeWithLogger(logger, queue, level));
    queue->async([logger] {
        InsideLogger inside;
        logger->didAddLogger();
    });
}

void ltRemoveNode(const std::shared_ptr<LKLoggerNode>& node) {
    node->loggerQueue()->async([logger = node->logger()] {
        InsideLogger inside;
        logger->willRemoveLogger();
    });
}

void ltLog(const std::shared_ptr<const LKLogMessage>& message, bool tookSlot) {
    State& s = state();
    --s.queued;
    const uint64_t flag = message->flag();
    if (s.processors < 2) {
        for (const auto& node : s.loggers) {
            if (!(node->level() & flag)) continue;
            node->loggerQueue()->sync([&] {
                InsideLogger inside;
                node->logger()->logMessage(message);
            });
        }
    } else {
        // The admitting loggers work in parallel; the last of them runs through
        // sync(), which does the work on this thread when its queue is idle.
        const LKLoggerNode* last = nullptr;
        for (const auto& node : s.loggers) {
            if (!(node->level() & flag)) continue;
            if (last) {
                s.group.async(last->loggerQueue(), [logger = last->logger(), message] {
                    InsideLogger inside;
                    logger->logMessage(message);
                });
            }
            last = node.get();
        }
        if (last) {
            last->loggerQueue()->sync([&] {
                InsideLogger inside;
                last->logger()->logMessage(message);
            });
        }
        // Every logger finishes this message before the next is dispatched.
        s.group.wait();
    }
    if (tookSlot) s.freeSlots.signal();
}

void ltFlush() {
    State& s = state();
    for (const auto& node : s.loggers) {
        if (!node->logger()->implementsFlush()) continue;
        s.group.async(node->loggerQueue(), [logger = node->logger()] {
            InsideLogger inside;
            logger->flush();
        });
    }
    s.group.wait();
}

LKLogClass* findClass(std::vector<LKLogClass>& classes, const std::string& name) {
    for (auto& c : classes)
        if (c.name == name) return &c;
    return nullptr;
}

}  // namespace

std::shared_ptr<dispatch::Queue> LKLog::loggingQueue() { return state().queue; }

const void* LKLog::loggingQueueIdentityKey() { return &kLoggingQueueKey; }

bool LKLog::isOnLoggingQueue() { return dispatch::getSpecific(&kLoggingQueueKey) == &kLoggingQueueKey; }

void LKLog::addLogger(std::shared_ptr<LKLogger> logger) { addLogger(std::move(logger), LKLogLevelAll); }

void LKLog::addLogger(std::shared_ptr<LKLogger> logger, uint64_t level) {
    if (!logger) return;
    state().queue->async([logger = std::move(logger), level] { ltAddLogger(logger, level); });
}

void LKLog::removeLogger(const std::shared_ptr<LKLogger>& logger) {
    if (!logger) return;
    state().queue->async([logger] {
        auto& loggers = state().loggers;
        for (auto it = loggers.begin(); it != loggers.end(); ++it) {
            if ((*it)->logger() == logger) {
                ltRemoveNode(*it);
                loggers.erase(it);
                return;
            }
        }
    });
}

void LKLog::removeAllLoggers() {
    state().queue->async([] {
        auto& loggers = state().loggers;
        for (const auto& node : loggers) ltRemoveNode(node);
        loggers.clear();
    });
}

std::vector<std::shared_ptr<LKLogger>> LKLog::allLoggers() {
    std::vector<std::shared_ptr<LKLogger>> out;
    state().queue->sync([&] {
        for (const auto& node : state().loggers) out.push_back(node->logger());
    });
    return out;
}

void LKLog::log(bool asynchronous, uint64_t level, uint64_t flag, int64_t context, const char* file,
                const char* function, uint64_t line, std::shared_ptr<void> tag, const char* format,
                const std::vector<foundation::FormatArg>& args) {
    if (!format) return;
    logMessage(asynchronous, foundation::formatArgs(format, args), level, flag, context, file, function, line,
               std::move(tag));
}

void LKLog::logMessage(bool asynchronous, std::string message, uint64_t level, uint64_t flag, int64_t context,
                       const char* file, const char* function, uint64_t line, std::shared_ptr<void> tag) {
    auto record = std::make_shared<const LKLogMessage>(std::move(message), level, flag, context,
                                                       file, function, line,
                                                       std::move(tag), 0);
    queueLogMessage(std::move(record), asynchronous);
}

void LKLog::logMessage(bool asynchronous, std::shared_ptr<const LKLogMessage> message) {
    if (!message) return;
    queueLogMessage(std::move(message), asynchronous);
}

void LKLog::queueLogMessage(std::shared_ptr<const LKLogMessage> message, bool asynchronously) {
    State& s = state();
    // From inside the logging machinery a wait (for a slot or for the dispatch)
    // would wait on the very work that is waiting on this caller: such a call
    // goes through asynchronously and takes no slot.
    if (insideLoggingMachinery()) {
        ++s.queued;
        s.queue->async([message = std::move(message)] { ltLog(message, false); });
        return;
    }
    bool tookSlot = true;
    if (foundation::isMainThread()) {
        tookSlot = s.freeSlots.wait(0);
        asynchronously = asynchronously || !tookSlot || s.queued.load() >= kMainThreadWaitBehind;
    } else {
        s.freeSlots.wait();
    }
    ++s.queued;
    if (asynchronously) {
        // A block holding only the message fits std::function's own storage:
        // no allocation for the hand-over.
        if (tookSlot) s.queue->async([message = std::move(message)] { ltLog(message, true); });
        else s.queue->async([message = std::move(message)] { ltLog(message, false); });
    } else {
        s.queue->sync([&] { ltLog(message, tookSlot); });
    }
}

void LKLog::flushLog() {
    if (insideLoggingMachinery()) {
        state().queue->async(ltFlush);
        return;
    }
    state().queue->sync(ltFlush);
}

void LKLog::applicationWillTerminate() {
    State& s = state();
    if (s.terminated.exchange(true)) return;
    flushLog();
}

void LKLog::registerClass(LKLogClass logClass) {
    State& s = state();
    std::lock_guard lock(s.classesMutex);
    if (LKLogClass* existing = findClass(s.classes, logClass.name)) *existing = std::move(logClass);
    else s.classes.push_back(std::move(logClass));
}

bool LKLog::isRegisteredClass(const LKLogClass& logClass) {
    return static_cast<bool>(logClass.lkLogLevel) && static_cast<bool>(logClass.lkSetLogLevel);
}

std::vector<LKLogClass> LKLog::registeredClasses() {
    State& s = state();
    std::lock_guard lock(s.classesMutex);
    std::vector<LKLogClass> out;
    for (const auto& c : s.classes)
        if (isRegisteredClass(c)) out.push_back(c);
    return out;
}

std::vector<std::string> LKLog::registeredClassNames() {
    std::vector<std::string> names;
    for (const auto& c : registeredClasses()) names.push_back(c.name);
    return names;
}

uint64_t LKLog::levelForClass(const LKLogClass& logClass) {
    return isRegisteredClass(logClass) ? logClass.lkLogLevel() : LKLogLevelAll;
}

uint64_t LKLog::levelForClassWithName(const std::string& name) {
    State& s = state();
    LKLogClass found;
    {
        std::lock_guard lock(s.classesMutex);
        if (LKLogClass* c = findClass(s.classes, name)) found = *c;
    }
    return levelForClass(found);
}

void LKLog::setLevel(uint64_t level, const LKLogClass& logClass) {
    if (isRegisteredClass(logClass)) logClass.lkSetLogLevel(level);
}

void LKLog::setLevelForClassWithName(uint64_t level, const std::string& name) {
    State& s = state();
    LKLogClass found;
    {
        std::lock_guard lock(s.classesMutex);
        if (LKLogClass* c = findClass(s.classes, name)) found = *c;
    }
    setLevel(level, found);
}
