#pragma once
// Animations of one value over time, on dispatch's clock: each frame hands the
// value between its start and its target to a setter, the last frame hands
// the target itself, and then the completion runs once. On the virtual clock
// of tests the frames fall exactly where the test advances; in instant mode
// the target and the completion come at once, inside animate(). Main queue only.

#include <functional>
#include <memory>

namespace desktop {

class Animation;

class Animator {
public:
    enum class Curve { Linear, EaseInEaseOut };
    using Setter = std::function<void(double value)>;
    using Completion = std::function<void()>;

    // Frames per second of an animation that runs.
    static constexpr double kFrameRate = 60.0;

    // Starts moving from `from` to `to` over duration seconds. A duration of
    // zero or less, or instant mode, sets the target and completes at once.
    // The animation runs while the handle or the clock holds it; stop() ends it.
    static std::shared_ptr<Animation> animate(double from, double to, double duration, Setter setter,
                                              Completion completion = {}, Curve curve = Curve::EaseInEaseOut);

    // Instant mode: every animation started afterwards ends at once. For tests
    // and for a desktop that asks for no motion.
    static void setInstant(bool instant);
    static bool isInstant();
};

class Animation : public std::enable_shared_from_this<Animation> {
public:
    bool isRunning() const { return running_; }
    // Ends the animation where it stands; the completion does not run.
    void stop();
    // Jumps to the target and runs the completion, as the last frame would.
    void finish();

private:
    friend class Animator;
    Animation() = default;
    void scheduleFrame();
    void step();

    double from_ = 0;
    double to_ = 0;
    double start_ = 0;
    double duration_ = 0;
    Animator::Curve curve_ = Animator::Curve::EaseInEaseOut;
    Animator::Setter setter_;
    Animator::Completion completion_;
    bool running_ = false;
    uint64_t pending_ = 0;
};

}  // namespace desktop
