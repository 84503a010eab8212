#include "Queue.h"

#include <condition_variable>

#include "Clock.h"
#include "platform/foundation/ThreadIdentity.h"
#include "platform/foundation/ThreadRegistry.h"

namespace dispatch {

namespace {
thread_local Queue* tCurrent = nullptr;
}

Queue::Queue(std::string label) : label_(std::make_shared<const std::string>(std::move(label))) {}
Queue::~Queue() = default;

Queue* Queue::current() {
    if (tCurrent) return tCurrent;
    // Asked on every log call: the main queue lives for the process, so its
    // address is taken once rather than a reference counted on each call.
    static Queue* const mainQueue = main().get();
    if (foundation::isMainThread()) return mainQueue;
    return nullptr;
}

bool Queue::isCurrent() const {
    // A block running on another queue in a nested sync still counts only its own.
    return tCurrent == this;
}

void Queue::perform(const Block& block) {
    Queue* saved = tCurrent;
    const char* savedLabel = foundation::currentRunningQueueLabel();
    tCurrent = this;
    // Published for the crash path, which names the queue of every thread.
    foundation::publishRunningQueueLabel(label_->c_str());
    block();
    foundation::publishRunningQueueLabel(savedLabel);
    tCurrent = saved;
}

bool Queue::sync(const Block& block) {
    if (isCurrent()) {
        block();
        return false;
    }
    if (runInlineIfIdle(block)) return true;
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    async([&] {
        block();
        std::lock_guard lock(m);
        done = true;
        cv.notify_one();
    });
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return done; });
    return true;
}

void Queue::syncInPlace(const Block& block) {
    if (isCurrent()) {
        block();
        return;
    }
    // Shared with the holding block, which may wake after this returns.
    struct Hold {
        std::mutex m;
        std::condition_variable cv;
        bool holding = false;
        bool released = false;
    };
    auto hold = std::make_shared<Hold>();
    async([hold] {
        std::unique_lock lock(hold->m);
        hold->holding = true;
        hold->cv.notify_all();
        hold->cv.wait(lock, [&] { return hold->released; });
    });
    {
        std::unique_lock lock(hold->m);
        hold->cv.wait(lock, [&] { return hold->holding; });
    }
    perform(block);
    std::lock_guard lock(hold->m);
    hold->released = true;
    hold->cv.notify_all();
}

void Queue::setSpecific(const void* key, const void* value) {
    std::lock_guard lock(specificsMutex_);
    if (value) specifics_[key] = value;
    else specifics_.erase(key);
}

const void* Queue::specific(const void* key) const {
    std::lock_guard lock(specificsMutex_);
    auto it = specifics_.find(key);
    return it == specifics_.end() ? nullptr : it->second;
}

std::string currentQueueLabel() {
    Queue* q = Queue::current();
    return q ? q->label() : std::string();
}

std::shared_ptr<const std::string> currentQueueSharedLabel() {
    Queue* q = Queue::current();
    return q ? q->sharedLabel() : nullptr;
}

const void* getSpecific(const void* key) {
    Queue* q = Queue::current();
    return q ? q->specific(key) : nullptr;
}

void after(double seconds, std::shared_ptr<Queue> queue, Block block) {
    Clock::schedule(Clock::now() + (seconds > 0 ? seconds : 0), std::move(queue), std::move(block));
}

}  // namespace dispatch
