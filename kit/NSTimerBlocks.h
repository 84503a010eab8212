#pragma once
// Timers that run a block, as the application's 0.25 s tick is made. A timer
// runs on the queue that scheduled it (the main queue when the caller is on no
// queue of ours) and on the dispatch clock, so tests drive it with virtual time.
//
// A scheduled timer keeps itself alive until it is invalidated or, when it does
// not repeat, until it has fired; callers may drop the pointer they get.

#include <functional>
#include <memory>
#include <mutex>

#include "platform/dispatch/Queue.h"
#include "platform/dispatch/TimerSource.h"

namespace NSTimerBlocks {

class Timer : public std::enable_shared_from_this<Timer> {
public:
    using Block = std::function<void()>;

    Timer(double interval, Block userInfo, bool repeats);
    ~Timer();

    double timeInterval() const { return interval_; }
    bool repeats() const { return repeats_; }
    // The block the timer was made with (a copy), null when it has none.
    const Block* userInfo() const { return userInfo_ ? &userInfo_ : nullptr; }
    bool isValid() const;

    // Starts the timer on queue: first firing one interval from now.
    void scheduleOnQueue(std::shared_ptr<dispatch::Queue> queue);
    // Runs the timer's action now, as if it had come due.
    void fire();
    // Stops it for good.
    void invalidate();

private:
    mutable std::mutex mutex_;
    double interval_;
    Block userInfo_;
    bool repeats_;
    bool valid_ = true;
    std::shared_ptr<dispatch::TimerSource> source_;
};

// Makes a timer and schedules it on the current queue.
std::shared_ptr<Timer> scheduledTimerWithTimeInterval(double seconds, Timer::Block block, bool repeats);
// Makes a timer without scheduling it.
std::shared_ptr<Timer> timerWithTimeInterval(double seconds, Timer::Block block, bool repeats);
// The timers' action: runs the block held in the timer's user information.
void jdExecuteSimpleBlock(const Timer& timer);

}  // namespace NSTimerBlocks
