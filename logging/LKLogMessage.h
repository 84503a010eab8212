#pragma once
// One log record as it travels from a log call to the loggers. Made on the
// caller's thread, immutable afterwards, read on the logging and logger queues.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace logging {
using Timestamp = std::chrono::system_clock::time_point;
}

// Flags of a message; a level is a mask of them.
enum LKLogFlag : uint64_t {
    LKLogFlagError = 1,
    LKLogFlagWarning = 2,
    LKLogFlagInfo = 4,
    LKLogFlagDebug = 8,
    LKLogFlagVerbose = 16,
};
constexpr uint64_t LKLogLevelAll = ~uint64_t(0);

// Option bits: keep private copies of the file and function texts. Our strings
// are always owned, so the bits are carried for callers that read them back.
enum LKLogMessageOptions : int64_t {
    LKLogMessageCopyFile = 1,
    LKLogMessageCopyFunction = 2,
};

class LKLogMessage {
public:
    LKLogMessage(std::string message, uint64_t level, uint64_t flag, int64_t context, std::string file,
                 std::string function, uint64_t line, std::shared_ptr<void> tag, int64_t options,
                 std::optional<logging::Timestamp> timestamp = std::nullopt);

    // A new message whose every field refers to the same values as this one.
    std::shared_ptr<LKLogMessage> copy() const { return std::make_shared<LKLogMessage>(*this); }

    const std::string& message() const { return f_->message; }
    uint64_t level() const { return f_->level; }
    uint64_t flag() const { return f_->flag; }
    int64_t context() const { return f_->context; }
    const std::string& file() const { return f_->file; }
    const std::string& fileName() const { return f_->fileName; }
    const std::string& function() const { return f_->function; }
    uint64_t line() const { return f_->line; }
    const std::shared_ptr<void>& tag() const { return f_->tag; }
    int64_t options() const { return f_->options; }
    logging::Timestamp timestamp() const { return f_->timestamp; }
    const std::string& threadID() const { return f_->threadID; }
    const std::optional<std::string>& threadName() const { return f_->threadName; }
    const std::string& queueLabel() const { return f_->queueLabel; }

    // The shared record; a copy shares it.
    const void* storage() const { return f_.get(); }

private:
    struct Fields {
        std::string message;
        uint64_t level;
        uint64_t flag;
        int64_t context;
        std::string file;
        std::string fileName;
        std::string function;
        uint64_t line;
        std::shared_ptr<void> tag;
        int64_t options;
        logging::Timestamp timestamp;
        std::string threadID;
        std::optional<std::string> threadName;
        std::string queueLabel;
    };
    std::shared_ptr<const Fields> f_;
};

// The file name of a path: what follows the last "/", up to its last ".".
// With copy the result owns its bytes; without it refers to the caller's.
// A null path gives nothing.
std::optional<std::string> LKFileNameFromPath(const char* path, bool copy);
std::optional<std::string_view> LKFileNameViewFromPath(const char* path);
