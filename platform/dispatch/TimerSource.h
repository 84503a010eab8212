#pragma once
// A timer that submits its handler to a queue: once after a start delay, then
// every interval (an interval of 0 fires once). Created suspended; resume()
// starts it, cancel() stops it for good. Runs on the Clock, so tests drive it
// with a virtual clock.

#include <cstdint>
#include <memory>
#include <mutex>

#include "Queue.h"

namespace dispatch {

class TimerSource : public std::enable_shared_from_this<TimerSource> {
public:
    static std::shared_ptr<TimerSource> create(std::shared_ptr<Queue> queue);

    void setHandler(Block handler);
    void setCancelHandler(Block handler);
    // Start delay and repeat interval in seconds; takes effect at once if running.
    void setTimer(double startDelay, double interval);
    void resume();
    void suspend();
    void cancel();
    bool isCancelled() const;

private:
    explicit TimerSource(std::shared_ptr<Queue> queue) : queue_(std::move(queue)) {}
    void armLocked(double deadline);
    void fire(uint64_t generation);

    mutable std::mutex mutex_;
    std::shared_ptr<Queue> queue_;
    std::shared_ptr<Block> handler_;
    Block cancelHandler_;
    double startDelay_ = -1;
    double interval_ = 0;
    double nextDeadline_ = 0;
    bool running_ = false;
    bool cancelled_ = false;
    uint64_t generation_ = 0;
    uint64_t scheduled_ = 0;
};

}  // namespace dispatch
