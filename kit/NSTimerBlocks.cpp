#include "NSTimerBlocks.h"

namespace NSTimerBlocks {

namespace {

// Timers shorter than this would spin a queue; the run loop's timers have the
// same floor.
constexpr double kMinimumInterval = 0.0001;

}  // namespace

Timer::Timer(double interval, Block userInfo, bool repeats)
    : interval_(interval > kMinimumInterval ? interval : kMinimumInterval),
      userInfo_(std::move(userInfo)),
      repeats_(repeats) {}

Timer::~Timer() {
    if (source_) source_->cancel();
}

bool Timer::isValid() const {
    std::lock_guard lock(mutex_);
    return valid_;
}

void Timer::scheduleOnQueue(std::shared_ptr<dispatch::Queue> queue) {
    std::lock_guard lock(mutex_);
    if (!valid_ || source_) return;
    source_ = dispatch::TimerSource::create(std::move(queue));
    // The handler holds the timer: a scheduled timer lives until invalidated.
    source_->setHandler([self = shared_from_this()] { self->fire(); });
    source_->setTimer(interval_, repeats_ ? interval_ : 0);
    source_->resume();
}

void Timer::fire() {
    if (!isValid()) return;
    jdExecuteSimpleBlock(*this);
    if (!repeats_) invalidate();
}

void Timer::invalidate() {
    std::shared_ptr<dispatch::TimerSource> source;
    {
        std::lock_guard lock(mutex_);
        valid_ = false;
        source = std::move(source_);
    }
    // Cancelling drops the handler and with it the timer's hold on itself.
    if (source) source->cancel();
}

std::shared_ptr<Timer> scheduledTimerWithTimeInterval(double seconds, Timer::Block block, bool repeats) {
    auto timer = timerWithTimeInterval(seconds, std::move(block), repeats);
    dispatch::Queue* current = dispatch::Queue::current();
    timer->scheduleOnQueue(current ? current->shared_from_this() : dispatch::Queue::main());
    return timer;
}

std::shared_ptr<Timer> timerWithTimeInterval(double seconds, Timer::Block block, bool repeats) {
    return std::make_shared<Timer>(seconds, std::move(block), repeats);
}

void jdExecuteSimpleBlock(const Timer& timer) {
    if (const Timer::Block* block = timer.userInfo(); block && *block) (*block)();
}

}  // namespace NSTimerBlocks
