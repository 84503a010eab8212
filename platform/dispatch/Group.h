#pragma once
// Joins several blocks: wait() returns, and notify() blocks are submitted, once
// every enter() has its leave().

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "Queue.h"

namespace dispatch {

class Group {
public:
    void enter();
    void leave();
    // Submits block to queue as a member of the group.
    void async(const std::shared_ptr<Queue>& queue, Block block);
    // Waits until the group is empty; a negative timeout waits for ever.
    // Returns false when the time ran out first.
    bool wait(double timeoutSeconds = -1);
    // Submits block to queue once the group is empty (at once if it is now).
    void notify(std::shared_ptr<Queue> queue, Block block);

private:
    std::mutex mutex_;
    std::condition_variable empty_;
    long count_ = 0;
    std::atomic<long> atomicCount_{0};  // count_, readable without the lock
    std::vector<std::pair<std::shared_ptr<Queue>, Block>> notifications_;
};

}  // namespace dispatch
