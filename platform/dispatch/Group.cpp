#include "Group.h"

#include <chrono>
#include <thread>

namespace dispatch {

void Group::enter() {
    std::lock_guard lock(mutex_);
    ++count_;
    atomicCount_.store(count_, std::memory_order_release);
}

void Group::leave() {
    std::vector<std::pair<std::shared_ptr<Queue>, Block>> due;
    {
        std::lock_guard lock(mutex_);
        if (count_ == 0) return;  // unbalanced leave: ignore rather than go negative
        atomicCount_.store(--count_, std::memory_order_release);
        if (count_ > 0) return;
        due.swap(notifications_);
        empty_.notify_all();
    }
    for (auto& [queue, block] : due) queue->async(std::move(block));
}

void Group::async(const std::shared_ptr<Queue>& queue, Block block) {
    enter();
    queue->async([this, b = std::move(block)] {
        b();
        leave();
    });
}

bool Group::wait(double timeoutSeconds) {
    // Short member blocks usually finish within microseconds; watching the count
    // that long is cheaper than sleeping in the kernel.
    auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(50);
    while (atomicCount_.load(std::memory_order_acquire) != 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::yield();
    std::unique_lock lock(mutex_);
    if (timeoutSeconds < 0) {
        empty_.wait(lock, [this] { return count_ == 0; });
        return true;
    }
    return empty_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds), [this] { return count_ == 0; });
}

void Group::notify(std::shared_ptr<Queue> queue, Block block) {
    {
        std::lock_guard lock(mutex_);
        if (count_ > 0) {
            notifications_.emplace_back(std::move(queue), std::move(block));
            return;
        }
    }
    queue->async(std::move(block));
}

}  // namespace dispatch
