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

LKLogMessage::LKLogMessage(std::string message, uint64_t level, uint64_t flag, int64_t context, std::string file,
                           std::string function, uint64_t line, std::shared_ptr<void> tag, int64_t options,
                           std::optional<logging::Timestamp> timestamp) {
    auto f = std::make_shared<Fields>();
    f->message = std::move(message);
    f->level = level;
    f->flag = flag;
    f->context = context;
    f->fileName = std::string(fileNameOf(file));
    f->file = std::move(file);
    f->function = std::move(function);
    f->line = line;
    f->tag = std::move(tag);
    f->options = options;
    f->timestamp = timestamp ? *timestamp : std::chrono::system_clock::now();
    f->threadID = cachedThreadID();
    f->threadName = foundation::currentThreadName();
    f->queueLabel = dispatch::currentQueueLabel();
    f_ = std::move(f);
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
