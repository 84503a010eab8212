#include "LKFileLogger.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "LKLog.h"
#include "LKLogFileFormatterDefault.h"
#include "LKLogFileManagerDefault.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/FileSizeSignal.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/SystemLog.h"

namespace {

// Failed writes of all file loggers of the process; only the first ten reach the
// system log, so a full disk cannot flood it.
std::atomic<uint64_t> gWriteFailures{0};
constexpr uint64_t kReportedWriteFailures = 10;

void reportWriteFailure(const foundation::Error& error) {
    uint64_t count = ++gWriteFailures;
    if (count > kReportedWriteFailures) return;
    foundation::systemLog(foundation::format("LKFileLogger.logMessage: %@", error));
    if (count == kReportedWriteFailures)
        foundation::systemLog("LKFileLogger.logMessage: Too many exceptions -- will not log any more of them.");
}

}  // namespace

LKFileLogger::LKFileLogger() : LKFileLogger(std::make_shared<LKLogFileManagerDefault>()) {}

LKFileLogger::LKFileLogger(std::shared_ptr<LKLogFileManager> logFileManager)
    : logFileManager_(logFileManager ? std::move(logFileManager) : std::make_shared<LKLogFileManagerDefault>()) {
    foundation::ignoreFileSizeSignalUnlessHandled();
    // Nobody else can see the logger yet, so the default formatter goes straight
    // in; one set later through setLogFormatter() replaces it before any message.
    formatter_ = std::make_shared<LKLogFileFormatterDefault>();
}

LKFileLogger::~LKFileLogger() {
    if (currentLogFileWatch_) currentLogFileWatch_->cancel();
    if (rollingTimer_) rollingTimer_->cancel();
    if (currentLogFileHandle_ >= 0) {
        ::fsync(currentLogFileHandle_);
        ::close(currentLogFileHandle_);
    }
}

std::weak_ptr<LKFileLogger> LKFileLogger::weakSelf() {
    return std::static_pointer_cast<LKFileLogger>(weak_from_this().lock());
}

uint64_t LKFileLogger::maximumFileSize() {
    uint64_t result = 0;
    readOnLoggerQueue([&] { result = maximumFileSize_; });
    return result;
}

void LKFileLogger::setMaximumFileSize(uint64_t bytes) {
    auto self = weakSelf().lock();
    setOnLoggerQueue([this, self, bytes] {
        maximumFileSize_ = bytes;
        maybeRollLogFileDueToSize();
    });
}

double LKFileLogger::rollingFrequency() {
    double result = 0;
    readOnLoggerQueue([&] { result = rollingFrequency_; });
    return result;
}

void LKFileLogger::setRollingFrequency(double seconds) {
    auto self = weakSelf().lock();
    setOnLoggerQueue([this, self, seconds] {
        rollingFrequency_ = seconds;
        maybeRollLogFileDueToAge();
    });
}

void LKFileLogger::rollLogFile() { rollLogFileWithCompletionBlock(nullptr); }

void LKFileLogger::rollLogFileWithCompletionBlock(std::function<void()> completion) {
    auto self = weakSelf().lock();
    setOnLoggerQueue([this, self, completion = std::move(completion)] {
        rollLogFileNow();
        if (completion) dispatch::Queue::main()->async(completion);
    });
}

void LKFileLogger::willRemoveLogger() { rollLogFileNow(); }

std::shared_ptr<LKLogFileInfo> LKFileLogger::currentLogFileInfo() {
    if (currentLogFileInfo_) return currentLogFileInfo_;
    auto infos = logFileManager_->sortedLogFileInfos();
    if (!infos.empty()) {
        const auto& newest = infos.front();
        bool archived = newest->isArchived();
        bool due = !archived && ((maximumFileSize_ > 0 && newest->fileSize() >= maximumFileSize_) ||
                                 (rollingFrequency_ > 0 && newest->age() >= rollingFrequency_));
        if (!doNotReuseLogFiles_ && !archived && !due) {
            currentLogFileInfo_ = newest;
            ageWhenChosen_ = std::max(0.0, newest->age());
        } else if (due) {
            newest->setIsArchived(true);
            if (logFileManager_->implementsDidArchiveLogFile()) logFileManager_->didArchiveLogFile(newest->filePath());
        }
    }
    if (!currentLogFileInfo_) {
        currentLogFileInfo_ = LKLogFileInfo::logFileWithPath(logFileManager_->createNewLogFile());
        ageWhenChosen_ = 0;
    }
    clockWhenChosen_ = dispatch::Clock::now();
    return currentLogFileInfo_;
}

int LKFileLogger::currentLogFileHandle() {
    if (currentLogFileHandle_ >= 0) return currentLogFileHandle_;
    auto info = currentLogFileInfo();
    // Created when missing, so writing resumes on its own once a folder that
    // could not be written becomes writable again.
    int fd = ::open(info->filePath().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        // Choose again with the next line: the folder may be back by then.
        currentLogFileInfo_.reset();
        return -1;
    }
    off_t end = ::lseek(fd, 0, SEEK_END);
    writePosition_ = end > 0 ? uint64_t(end) : 0;
    currentLogFileHandle_ = fd;

    scheduleTimerToRollLogFileDueToAge();
    currentLogFileWatch_ = dispatch::FileWatchSource::create(
        fd, dispatch::FileWatchSource::Delete | dispatch::FileWatchSource::Rename, loggerQueue());
    if (currentLogFileWatch_) {
        std::weak_ptr<LKFileLogger> weak = weakSelf();
        currentLogFileWatch_->setHandler([weak](unsigned) {
            if (auto self = weak.lock()) self->rollLogFileNow();
        });
        currentLogFileWatch_->resume();
    }
    return currentLogFileHandle_;
}

void LKFileLogger::logMessage(const std::shared_ptr<const LKLogMessage>& message) {
    std::optional<std::string> text;
    bool formatted = false;
    if (formatter_) {
        text = formatter_->formatLogMessage(*message);
        // A formatter that hands the text back unchanged did not format it.
        formatted = text && *text != message->message();
    } else {
        text = message->message();
    }
    if (!text) return;
    if (!(formatted && !automaticallyAppendNewline_) && (text->empty() || text->back() != '\n')) text->push_back('\n');

    if (currentLogFileHandle() < 0) return;
    if (!writeLine(*text)) return;
    maybeRollLogFileDueToSize();
}

bool LKFileLogger::writeLine(const std::string& line) {
    const int fd = currentLogFileHandle_;
    size_t written = 0;
    while (written < line.size()) {
        ssize_t n = ::write(fd, line.data() + written, line.size() - written);
        if (n > 0) {
            written += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        int error = n < 0 ? errno : EIO;
        // Keep every line whole: take back the part of this one that got in.
        if (written > 0 && ::ftruncate(fd, off_t(writePosition_)) != 0) {
            off_t end = ::lseek(fd, 0, SEEK_END);
            writePosition_ = end > 0 ? uint64_t(end) : 0;
        }
        foundation::Error failure("NSPOSIXErrorDomain", error, std::strerror(error));
        if (currentLogFileInfo_) failure.userInfo["NSFilePath"] = currentLogFileInfo_->filePath();
        reportWriteFailure(failure);
        return false;
    }
    writePosition_ += line.size();
    return true;
}

double LKFileLogger::currentFileAge() const { return ageWhenChosen_ + (dispatch::Clock::now() - clockWhenChosen_); }

void LKFileLogger::scheduleTimerToRollLogFileDueToAge() {
    if (rollingTimer_) {
        rollingTimer_->cancel();
        rollingTimer_.reset();
    }
    if (!currentLogFileInfo_ || rollingFrequency_ <= 0) return;
    double delay = rollingFrequency_ - currentFileAge();
    rollingTimer_ = dispatch::TimerSource::create(loggerQueue());
    std::weak_ptr<LKFileLogger> weak = weakSelf();
    rollingTimer_->setHandler([weak] {
        if (auto self = weak.lock()) self->maybeRollLogFileDueToAge();
    });
    rollingTimer_->setTimer(delay > 0 ? delay : 0, 0);
    rollingTimer_->resume();
}

void LKFileLogger::maybeRollLogFileDueToAge() {
    if (!currentLogFileInfo_) return;
    if (rollingFrequency_ > 0 && currentFileAge() >= rollingFrequency_) rollLogFileNow();
    else scheduleTimerToRollLogFileDueToAge();
}

void LKFileLogger::maybeRollLogFileDueToSize() {
    if (maximumFileSize_ > 0 && currentLogFileHandle_ >= 0 && writePosition_ >= maximumFileSize_) rollLogFileNow();
}

void LKFileLogger::rollLogFileNow() {
    if (currentLogFileHandle_ < 0) return;
    // Marked through the descriptor: the file may have been moved or unlinked,
    // and another file may already stand at its old path.
    currentLogFileInfo_->setIsArchived(true, currentLogFileHandle_);
    // Synchronising takes milliseconds on a busy disk; the next line need not
    // wait for it, and with a limit of one file the old file is gone a moment
    // later anyway.
    dispatch::Queue::global(dispatch::Priority::Background)->async([fd = currentLogFileHandle_] {
        ::fsync(fd);
        ::close(fd);
    });
    currentLogFileHandle_ = -1;
    if (logFileManager_->implementsDidRollAndArchiveLogFile())
        logFileManager_->didRollAndArchiveLogFile(currentLogFileInfo_->filePath());
    currentLogFileInfo_.reset();
    if (currentLogFileWatch_) {
        currentLogFileWatch_->cancel();
        currentLogFileWatch_.reset();
    }
    if (rollingTimer_) {
        rollingTimer_->cancel();
        rollingTimer_.reset();
    }
}
