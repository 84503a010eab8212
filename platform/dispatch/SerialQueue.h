#pragma once
// A serial queue with its own worker thread. The worker starts on the first
// block and leaves after a short idle time, so idle queues cost no thread.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "Queue.h"

namespace dispatch {

class SerialQueue final : public Queue {
public:
    explicit SerialQueue(std::string label);
    ~SerialQueue() override;

    void async(Block block) override;

protected:
    bool runInlineIfIdle(const Block& block) override;

private:
    void drain();
    void startWorkerLocked(std::unique_lock<std::mutex>& lock);

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Block> blocks_;
    std::atomic<size_t> pending_{0};  // blocks_.size(), readable without the lock
    bool workerRunning_ = false;
    bool workerSleeping_ = false;
    bool executing_ = false;  // a block runs, on the worker or inline in a sync
};

}  // namespace dispatch
