#include "TimerSource.h"

#include <algorithm>

#include "Clock.h"

namespace dispatch {

std::shared_ptr<TimerSource> TimerSource::create(std::shared_ptr<Queue> queue) {
    return std::shared_ptr<TimerSource>(new TimerSource(std::move(queue)));
}

void TimerSource::setHandler(Block handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::make_shared<Block>(std::move(handler));
}

void TimerSource::setCancelHandler(Block handler) {
    std::lock_guard lock(mutex_);
    cancelHandler_ = std::move(handler);
}

void TimerSource::setTimer(double startDelay, double interval) {
    std::lock_guard lock(mutex_);
    if (cancelled_) return;
    startDelay_ = startDelay < 0 ? 0 : startDelay;
    interval_ = interval < 0 ? 0 : interval;
    if (running_) armLocked(Clock::now() + startDelay_);
    else nextDeadline_ = -1;  // armed from now at resume
}

void TimerSource::resume() {
    std::lock_guard lock(mutex_);
    if (cancelled_ || running_) return;
    running_ = true;
    if (startDelay_ < 0) return;  // no time set yet
    armLocked(nextDeadline_ >= 0 ? std::max(nextDeadline_, Clock::now()) : Clock::now() + startDelay_);
}

void TimerSource::suspend() {
    std::lock_guard lock(mutex_);
    if (!running_) return;
    running_ = false;
    ++generation_;
    if (scheduled_) Clock::cancel(scheduled_);
    scheduled_ = 0;
}

void TimerSource::cancel() {
    Block cancelHandler;
    {
        std::lock_guard lock(mutex_);
        if (cancelled_) return;
        cancelled_ = true;
        running_ = false;
        ++generation_;
        if (scheduled_) Clock::cancel(scheduled_);
        scheduled_ = 0;
        handler_.reset();
        cancelHandler = std::move(cancelHandler_);
    }
    if (cancelHandler) queue_->async(std::move(cancelHandler));
}

bool TimerSource::isCancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
}

void TimerSource::armLocked(double deadline) {
    ++generation_;
    if (scheduled_) Clock::cancel(scheduled_);
    nextDeadline_ = deadline;
    uint64_t generation = generation_;
    std::weak_ptr<TimerSource> weak = shared_from_this();
    scheduled_ = Clock::schedule(deadline, queue_, [weak, generation] {
        if (auto self = weak.lock()) self->fire(generation);
    });
}

void TimerSource::fire(uint64_t generation) {
    std::shared_ptr<Block> handler;
    {
        std::lock_guard lock(mutex_);
        // A firing that was already on its way when the timer was changed,
        // suspended or cancelled is dropped.
        if (generation != generation_ || !running_) return;
        scheduled_ = 0;
        handler = handler_;
        if (interval_ > 0) armLocked(nextDeadline_ + interval_);
        else {
            nextDeadline_ = -1;
            running_ = false;
        }
    }
    if (handler && *handler) (*handler)();
}

}  // namespace dispatch
