#include "Animator.h"

#include <algorithm>
#include <atomic>
#include <cmath>

#include "platform/dispatch/Clock.h"

namespace desktop {

namespace {

std::atomic<bool> instantMode{false};

double eased(double t, Animator::Curve curve) {
    if (curve == Animator::Curve::Linear) return t;
    return t * t * (3.0 - 2.0 * t);  // smoothstep: slow at both ends, as a window's motion should be
}

}  // namespace

std::shared_ptr<Animation> Animator::animate(double from, double to, double duration, Setter setter,
                                             Completion completion, Curve curve) {
    std::shared_ptr<Animation> animation(new Animation);
    animation->from_ = from;
    animation->to_ = to;
    animation->duration_ = duration;
    animation->curve_ = curve;
    animation->setter_ = std::move(setter);
    animation->completion_ = std::move(completion);
    animation->running_ = true;
    animation->start_ = dispatch::Clock::now();
    if (isInstant() || !(duration > 0)) {
        animation->finish();
        return animation;
    }
    if (animation->setter_) animation->setter_(from);
    animation->scheduleFrame();
    return animation;
}

void Animator::setInstant(bool instant) {
    instantMode = instant;
}

bool Animator::isInstant() {
    return instantMode;
}

void Animation::scheduleFrame() {
    double deadline = std::min(dispatch::Clock::now() + 1.0 / Animator::kFrameRate, start_ + duration_);
    // The clock keeps the animation alive until its next frame.
    auto self = shared_from_this();
    pending_ = dispatch::Clock::schedule(deadline, dispatch::Queue::main(), [self] {
        self->pending_ = 0;
        self->step();
    });
}

void Animation::step() {
    if (!running_) return;
    double now = dispatch::Clock::now();
    double t = (now - start_) / duration_;
    // The last frame is due at start + duration exactly, where the quotient
    // may round to just under 1: compared as a time, it always ends.
    if (t >= 1.0 || now >= start_ + duration_) {
        finish();
        return;
    }
    if (setter_) setter_(from_ + (to_ - from_) * eased(std::max(t, 0.0), curve_));
    scheduleFrame();
}

void Animation::stop() {
    running_ = false;
    if (pending_) dispatch::Clock::cancel(pending_);
    pending_ = 0;
}

void Animation::finish() {
    if (!running_) return;
    stop();
    if (setter_) setter_(to_);
    // Moved out first: the completion may start another animation on this one's target.
    Animator::Completion completion = std::move(completion_);
    completion_ = nullptr;
    if (completion) completion();
}

}  // namespace desktop
