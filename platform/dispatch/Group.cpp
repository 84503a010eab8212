#include "Group.h"

#include <chrono>

namespace dispatch {

void Group::enter() {
    std::lock_guard lock(mutex_);
    ++count_;
}

void Group::leave() {
    std::vector<std::pair<std::shared_ptr<Queue>, Block>> due;
    {
        std::lock_guard lock(mutex_);
        if (count_ == 0) return;  // unbalanced leave: ignore rather than go negative
        if (--count_ > 0) return;
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
