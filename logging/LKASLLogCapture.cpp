#include "LKASLLogCapture.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>
#include <unistd.h>

#include "LKASLLogger.h"
#include "LKLog.h"
#include "platform/dispatch/Queue.h"

namespace {

using Entry = foundation::SystemLogReader::Entry;

// The highest system-log priority looked at (debug).
constexpr int kHighestPriority = 7;

double secondsSince1970() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// One run of capture, from a start to the look at the log that follows its stop.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(uint64_t generation, std::shared_ptr<foundation::SystemLogReader> reader)
        : generation_(generation), reader_(std::move(reader)), startTime_(std::floor(secondsSince1970())) {}

    void begin() {
        std::weak_ptr<Session> weak = weak_from_this();
        auto watch = reader_->watch([weak] {
            if (auto self = weak.lock())
                dispatch::Queue::global(dispatch::Priority::High)->async([self] { self->lookAtLog(); });
        });
        std::lock_guard lock(mutex_);
        watch_ = std::move(watch);
    }

    // Takes in the entries that came since the last look; ends the session when
    // it is no longer the running capture.
    void lookAtLog();

private:
    const uint64_t generation_;
    const std::shared_ptr<foundation::SystemLogReader> reader_;
    const double startTime_;
    // One look at a time: notifications may arrive while a look is running.
    std::mutex mutex_;
    std::unique_ptr<foundation::SystemLogReader::Watch> watch_;
    std::optional<std::string> lastPosition_;
    bool ended_ = false;
};

struct CaptureState {
    std::mutex mutex;
    bool running = false;
    // Each start makes a new generation, so a session left from an earlier
    // start ends instead of capturing beside the new one.
    uint64_t generation = 0;
    std::shared_ptr<Session> session;
    std::atomic<uint64_t> captureLevel{LKLogFlagError | LKLogFlagWarning | LKLogFlagInfo | LKLogFlagDebug |
                                       LKLogFlagVerbose};
};

CaptureState& state() {
    // Never destroyed: a capture may still run while the process exits.
    static CaptureState* s = new CaptureState;
    return *s;
}

bool isRunningGeneration(uint64_t generation) {
    CaptureState& s = state();
    std::lock_guard lock(s.mutex);
    return s.running && s.generation == generation;
}

void Session::lookAtLog() {
    std::lock_guard lock(mutex_);
    if (ended_) return;
    const int64_t pid = ::getpid();
    auto entries = lastPosition_ ? reader_->entriesAfter(*lastPosition_, pid) : reader_->entriesSince(startTime_, pid);
    for (const Entry& entry : entries) {
        lastPosition_ = entry.position;
        auto priority = entry.field("PRIORITY");
        const int level = priority ? std::atoi(priority->c_str()) : 0;
        if (level > kHighestPriority) continue;
        if (entry.field(LKASLLoggerMarkerField) == LKASLLoggerMarkerValue) continue;  // LKASLLogger sent it
        LKASLLogCapture::aslMessageReceived(entry);
    }
    if (!isRunningGeneration(generation_)) {
        watch_.reset();
        ended_ = true;
    }
}

void captureAslLogs(uint64_t generation) {
    auto reader = foundation::SystemLogReader::current();
    CaptureState& s = state();
    if (!reader) {
        std::lock_guard lock(s.mutex);
        if (s.generation == generation) s.running = false;  // nothing to read: a later start may try again
        return;
    }
    auto session = std::make_shared<Session>(generation, std::move(reader));
    {
        std::lock_guard lock(s.mutex);
        if (!s.running || s.generation != generation) return;  // stopped before it began
        s.session = session;
    }
    session->begin();
}

}  // namespace

void LKASLLogCapture::start() {
    CaptureState& s = state();
    uint64_t generation;
    {
        std::lock_guard lock(s.mutex);
        if (s.running) return;
        s.running = true;
        generation = ++s.generation;
    }
    dispatch::Queue::global()->async([generation] { captureAslLogs(generation); });
}

void LKASLLogCapture::stop() {
    CaptureState& s = state();
    std::shared_ptr<Session> session;
    {
        std::lock_guard lock(s.mutex);
        s.running = false;
        session = std::move(s.session);
    }
    // One last look takes in what was written before the stop and ends the
    // session, even when the log stays quiet from now on.
    if (session) dispatch::Queue::global(dispatch::Priority::High)->async([session] { session->lookAtLog(); });
}

uint64_t LKASLLogCapture::captureLevel() { return state().captureLevel; }

void LKASLLogCapture::setCaptureLevel(uint64_t level) { state().captureLevel = level; }

uint64_t LKASLLogCapture::flagForPriority(int priority) {
    switch (priority) {
    case 0:
    case 1:
    case 2: return LKLogFlagError;
    case 3: return LKLogFlagWarning;
    case 4: return LKLogFlagInfo;
    case 5: return LKLogFlagDebug;
    default: return LKLogFlagVerbose;
    }
}

void LKASLLogCapture::aslMessageReceived(const Entry& entry) {
    auto text = entry.field("MESSAGE");
    if (!text) return;
    auto priority = entry.field("PRIORITY");
    const uint64_t flag = flagForPriority(priority ? std::atoi(priority->c_str()) : 0);
    const uint64_t level = captureLevel();
    if (!(level & flag)) return;
    const bool synchronously = flag == LKLogFlagError;

    // The log keeps microseconds; rounding to them keeps a double's last bits
    // from showing up as stray nanoseconds.
    const double seconds = entry.time ? *entry.time : secondsSince1970();
    const auto timestamp = logging::Timestamp(std::chrono::microseconds(std::llround(seconds * 1e6)));
    auto message = std::make_shared<const LKLogMessage>(std::move(*text), level, flag, 0, LKASLLogCaptureFileName,
                                                        "", 0, nullptr, 0, timestamp);
    LKLog::logMessage(!synchronously, std::move(message));
}
