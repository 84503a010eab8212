#include "platform/desktop/LogSink.h"

#include <memory>
#include <mutex>

#include "platform/foundation/SystemLog.h"

namespace desktop {

namespace {

struct Slot {
    std::mutex mutex;
    std::shared_ptr<const LogSink> sink;
};

Slot& slot() {
    static Slot* s = new Slot;  // notes may come from workers while the process exits
    return *s;
}

}  // namespace

void setLogSink(LogSink sink) {
    auto shared = sink ? std::make_shared<const LogSink>(std::move(sink)) : nullptr;
    std::lock_guard lock(slot().mutex);
    slot().sink = std::move(shared);
}

void logNote(const LogNote& note) {
    std::shared_ptr<const LogSink> sink;
    {
        std::lock_guard lock(slot().mutex);
        sink = slot().sink;
    }
    if (sink)
        (*sink)(note);
    else
        foundation::systemLog(note.text);
}

}  // namespace desktop
