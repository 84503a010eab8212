#include "SerialQueue.h"

#include <chrono>
#include <thread>

namespace dispatch {

namespace {
// A worker waits this long for more work before its thread ends; a busy logger
// queue keeps its thread, a queue used once a minute does not hold one.
constexpr auto kIdleLinger = std::chrono::milliseconds(500);
}

SerialQueue::SerialQueue(std::string label) : Queue(std::move(label)) {}

SerialQueue::~SerialQueue() = default;

void SerialQueue::async(Block block) {
    std::unique_lock lock(mutex_);
    blocks_.push_back(std::move(block));
    if (workerRunning_) {
        wake_.notify_one();
        return;
    }
    workerRunning_ = true;
    lock.unlock();
    // The worker keeps the queue alive while blocks are pending, as a block
    // submitted to a queue keeps it.
    std::thread([self = std::static_pointer_cast<SerialQueue>(shared_from_this())] { self->drain(); }).detach();
}

void SerialQueue::drain() {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (blocks_.empty()) {
            wake_.wait_for(lock, kIdleLinger, [this] { return !blocks_.empty(); });
            if (blocks_.empty()) {
                workerRunning_ = false;
                return;
            }
        }
        Block block = std::move(blocks_.front());
        blocks_.pop_front();
        lock.unlock();
        perform(block);
        block = nullptr;  // release captures outside the lock
        lock.lock();
    }
}

}  // namespace dispatch
