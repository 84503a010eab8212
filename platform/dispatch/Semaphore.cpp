#include "Semaphore.h"

#include <chrono>

namespace dispatch {

bool Semaphore::wait(double timeoutSeconds) {
    std::unique_lock lock(mutex_);
    if (timeoutSeconds < 0) {
        available_.wait(lock, [this] { return value_ > 0; });
    } else if (!available_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                                    [this] { return value_ > 0; })) {
        return false;
    }
    --value_;
    return true;
}

void Semaphore::signal() {
    std::lock_guard lock(mutex_);
    ++value_;
    available_.notify_one();
}

}  // namespace dispatch
