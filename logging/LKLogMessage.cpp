#include "LKLogMessage.h"

#include <cstring>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/ThreadIdentity.h"

namespace {

std::string_view fileNameOf(std::string_view path) {
    size_t slash = path.rfind('/');
    std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
    size_t dot = last.rfind('.');
    return dot == std::string_view::npos ? last : last.substr(0, dot);
}

// The kernel id never changes for a thread; asking once saves a system call per message.
const std::string& cachedThreadID() {
    thread_local const std::string id = foundation::currentThreadID();
    return id;
}

}  // namespace

LKLogMessage::Fields::Fields(const Fields& o)
    : message(o.message), level(o.level), flag(o.flag), context(o.context), line(o.line), tag(o.tag),
      options(o.options), timestamp(o.timestamp), threadID(o.threadID), threadName(o.threadName),
      queueLabel(o.queueLabel) {
    setFile(o.file, o.ownsFile);
    setFunction(o.function, o.ownsFunction);
}

void LKLogMessage::Fields::setFile(std::string_view text, bool copy) {
    ownsFile = copy;
    if (copy) {
        fileCopy.assign(text);
        file = fileCopy;
    } else {
        file = text;
    }
    fileName = fileNameOf(file);
}

void LKLogMessage::Fields::setFunction(std::string_view text, bool copy) {
    ownsFunction = copy;
    if (copy) {
        functionCopy.assign(text);
        function = functionCopy;
    } else {
        function = text;
    }
}

LKLogMessage::LKLogMessage(std::string message, uint64_t level, uint64_t flag, int64_t context, const char* file,
                           const char* function, uint64_t line, std::shared_ptr<void> tag, int64_t options,
                           std::optional<logging::Timestamp> timestamp) {
    init(std::move(message), level, flag, context, file ? file : "", options & LKLogMessageCopyFile,
         function ? function : "", options & LKLogMessageCopyFunction, line, std::move(tag), options, timestamp);
}

LKLogMessage::LKLogMessage(std::string message, uint64_t level, uint64_t flag, int64_t context,
                           const std::string& file, const std::string& function, uint64_t line,
                           std::shared_ptr<void> tag, int64_t options, std::optional<logging::Timestamp> timestamp) {
    init(std::move(message), level, flag, context, file, true, function, true, line, std::move(tag), options,
         timestamp);
}

void LKLogMessage::init(std::string message, uint64_t level, uint64_t flag, int64_t context, std::string_view file,
                        bool copyFile, std::string_view function, bool copyFunction, uint64_t line,
                        std::shared_ptr<void> tag, int64_t options, std::optional<logging::Timestamp> timestamp) {
    auto f = std::make_shared<Fields>();
    f->message = std::move(message);
    f->level = level;
    f->flag = flag;
    f->context = context;
    f->setFile(file, copyFile);
    f->setFunction(function, copyFunction);
    f->line = line;
    f->tag = std::move(tag);
    f->options = options;
    f->timestamp = timestamp ? *timestamp : std::chrono::system_clock::now();
    f->threadID = cachedThreadID();
    f->threadName = foundation::currentThreadName();
    f->queueLabel = dispatch::currentQueueSharedLabel();
    f_ = std::move(f);
}

const std::string& LKLogMessage::queueLabel() const {
    static const std::string kNone;
    return f_->queueLabel ? *f_->queueLabel : kNone;
}

std::shared_ptr<LKLogMessage> LKLogMessage::copyWithMessage(std::string message) const {
    auto f = std::make_shared<Fields>(*f_);
    f->message = std::move(message);
    auto out = copy();
    out->f_ = std::move(f);
    return out;
}

std::optional<std::string_view> LKFileNameViewFromPath(const char* path) {
    if (!path) return std::nullopt;
    return fileNameOf(std::string_view(path, std::strlen(path)));
}

std::optional<std::string> LKFileNameFromPath(const char* path, bool copy) {
    (void)copy;  // a std::string always owns its bytes; the view form refers instead
    auto view = LKFileNameViewFromPath(path);
    if (!view) return std::nullopt;
    return std::string(*view);
}
