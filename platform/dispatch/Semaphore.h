#pragma once
// A counting semaphore with timed waits.

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace dispatch {

class Semaphore {
public:
    explicit Semaphore(long value) : value_(value), atomicValue_(value) {}
    // Takes one unit, waiting for it; a negative timeout waits for ever.
    // Returns false when the time ran out first.
    bool wait(double timeoutSeconds = -1);
    void signal();

private:
    std::mutex mutex_;
    std::condition_variable available_;
    long value_;
    std::atomic<long> atomicValue_{0};  // value_, readable without the lock
    int sleepers_ = 0;
};

}  // namespace dispatch
