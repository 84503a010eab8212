#include "SerialQueue.h"
#include "ThreadSignalStack.h"

#include <chrono>
#include <thread>

namespace dispatch {

namespace {
// A worker waits this long for more work before its thread ends; a busy logger
// queue keeps its thread, a queue used once a minute does not hold one.
constexpr auto kIdleLinger = std::chrono::milliseconds(500);
// Before sleeping, a worker whose queue just emptied watches it for this long: a
// busy producer usually submits again within microseconds, and a wake-up through
// the kernel costs far more than that.
constexpr auto kSpinBeforeSleep = std::chrono::microseconds(50);

bool spinUntil(const std::atomic<size_t>& pending) {
    auto until = std::chrono::steady_clock::now() + kSpinBeforeSleep;
    do {
        for (int i = 0; i < 64; ++i)
            if (pending.load(std::memory_order_acquire) != 0) return true;
        std::this_thread::yield();
    } while (std::chrono::steady_clock::now() < until);
    return pending.load(std::memory_order_acquire) != 0;
}
}

SerialQueue::SerialQueue(std::string label) : Queue(std::move(label)) {}

SerialQueue::~SerialQueue() = default;

void SerialQueue::async(Block block) {
    std::unique_lock lock(mutex_);
    blocks_.push_back(std::move(block));
    pending_.store(blocks_.size(), std::memory_order_release);
    startWorkerLocked(lock);
}

void SerialQueue::startWorkerLocked(std::unique_lock<std::mutex>& lock) {
    if (workerRunning_) {
        if (workerSleeping_) wake_.notify_one();
        return;
    }
    workerRunning_ = true;
    lock.unlock();
    // The worker keeps the queue alive while blocks are pending, as a block
    // submitted to a queue keeps it.
    std::thread([self = std::static_pointer_cast<SerialQueue>(shared_from_this())] {
        installThreadSignalStack();
        self->drain();
    }).detach();
}

bool SerialQueue::runInlineIfIdle(const Block& block) {
    {
        std::lock_guard lock(mutex_);
        if (executing_ || !blocks_.empty()) return false;
        executing_ = true;
    }
    perform(block);
    std::unique_lock lock(mutex_);
    executing_ = false;
    if (!blocks_.empty()) startWorkerLocked(lock);
    return true;
}

void SerialQueue::drain() {
    std::unique_lock lock(mutex_);
    auto ready = [this] { return !blocks_.empty() && !executing_; };
    for (;;) {
        if (!ready()) {
            lock.unlock();
            spinUntil(pending_);
            lock.lock();
        }
        if (!ready()) {
            workerSleeping_ = true;
            bool woke = wake_.wait_for(lock, kIdleLinger, ready);
            workerSleeping_ = false;
            if (!woke) {
                // A block that arrived while an inline sync ran is handed to a new
                // worker when that sync ends.
                workerRunning_ = false;
                return;
            }
        }
        Block block = std::move(blocks_.front());
        blocks_.pop_front();
        pending_.store(blocks_.size(), std::memory_order_release);
        executing_ = true;
        lock.unlock();
        perform(block);
        block = nullptr;  // release captures outside the lock
        lock.lock();
        executing_ = false;
    }
}

}  // namespace dispatch
