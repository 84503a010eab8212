#include "Semaphore.h"

#include <chrono>
#include <thread>

namespace dispatch {

namespace {
// A unit is often signalled within microseconds; watching for it that long is
// cheaper than sleeping in the kernel.
constexpr auto kSpinBeforeSleep = std::chrono::microseconds(50);
}

bool Semaphore::wait(double timeoutSeconds) {
    if (atomicValue_.load(std::memory_order_acquire) <= 0 && timeoutSeconds != 0) {
        auto until = std::chrono::steady_clock::now() + kSpinBeforeSleep;
        while (atomicValue_.load(std::memory_order_acquire) <= 0 && std::chrono::steady_clock::now() < until)
            std::this_thread::yield();
    }
    std::unique_lock lock(mutex_);
    auto available = [this] { return value_ > 0; };
    if (!available()) {
        ++sleepers_;
        bool got = true;
        if (timeoutSeconds < 0) available_.wait(lock, available);
        else got = available_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds), available);
        --sleepers_;
        if (!got) return false;
    }
    atomicValue_.store(--value_, std::memory_order_release);
    return true;
}

void Semaphore::signal() {
    std::lock_guard lock(mutex_);
    atomicValue_.store(++value_, std::memory_order_release);
    if (sleepers_ > 0) available_.notify_one();
}

}  // namespace dispatch
