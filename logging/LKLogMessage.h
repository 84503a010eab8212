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
    // File and function given as C strings are referred to, not copied, unless
    // the options ask for copies: callers pass texts that live for the process
    // (__FILE__, function names), and the log call stays cheap.
    LKLogMessage(std::string message, uint64_t level, uint64_t flag, int64_t context, const char* file,
                 const char* function, uint64_t line, std::shared_ptr<void> tag, int64_t options,
                 std::optional<logging::Timestamp> timestamp = std::nullopt);
    // Texts given as strings are always copied.
    LKLogMessage(std::string message, uint64_t level, uint64_t flag, int64_t context, const std::string& file,
                 const std::string& function, uint64_t line, std::shared_ptr<void> tag, int64_t options,
                 std::optional<logging::Timestamp> timestamp = std::nullopt);

    // A new message whose every field refers to the same values as this one.
    std::shared_ptr<LKLogMessage> copy() const { return std::make_shared<LKLogMessage>(*this); }
    // A copy whose text is the given one; every other field is this message's.
    std::shared_ptr<LKLogMessage> copyWithMessage(std::string message) const;

    const std::string& message() const { return f_->message; }
    uint64_t level() const { return f_->level; }
    uint64_t flag() const { return f_->flag; }
    int64_t context() const { return f_->context; }
    std::string_view file() const { return f_->file; }
    std::string_view fileName() const { return f_->fileName; }
    std::string_view function() const { return f_->function; }
    uint64_t line() const { return f_->line; }
    const std::shared_ptr<void>& tag() const { return f_->tag; }
    int64_t options() const { return f_->options; }
    logging::Timestamp timestamp() const { return f_->timestamp; }
    const std::string& threadID() const { return f_->threadID; }
    const std::optional<std::string>& threadName() const { return f_->threadName; }
    const std::string& queueLabel() const;

    // The shared record; a copy shares it.
    const void* storage() const { return f_.get(); }

private:
    struct Fields {
        Fields() = default;
        // Views into this record's own copies are re-pointed at the new record's.
        Fields(const Fields& other);
        Fields& operator=(const Fields&) = delete;
        void setFile(std::string_view text, bool copy);
        void setFunction(std::string_view text, bool copy);

        std::string message;
        uint64_t level;
        uint64_t flag;
        int64_t context;
        std::string_view file;
        std::string_view fileName;
        std::string_view function;
        std::string fileCopy;
        std::string functionCopy;
        bool ownsFile = false;
        bool ownsFunction = false;
        uint64_t line;
        std::shared_ptr<void> tag;
        int64_t options;
        logging::Timestamp timestamp;
        std::string threadID;
        std::optional<std::string> threadName;
        std::shared_ptr<const std::string> queueLabel;
    };
    void init(std::string message, uint64_t level, uint64_t flag, int64_t context, std::string_view file,
              bool copyFile, std::string_view function, bool copyFunction, uint64_t line, std::shared_ptr<void> tag,
              int64_t options, std::optional<logging::Timestamp> timestamp);
    std::shared_ptr<const Fields> f_;
};

// The file name of a path: what follows the last "/", up to its last ".".
// With copy the result owns its bytes; without it refers to the caller's.
// A null path gives nothing.
std::optional<std::string> LKFileNameFromPath(const char* path, bool copy);
std::optional<std::string_view> LKFileNameViewFromPath(const char* path);
