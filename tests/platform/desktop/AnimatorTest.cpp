#include <gtest/gtest.h>

#include <vector>

#include "platform/desktop/Animator.h"
#include "platform/dispatch/Clock.h"

using desktop::Animator;

namespace {

class AnimatorTest : public ::testing::Test {
protected:
    void SetUp() override { dispatch::Clock::useVirtualTime(100); }
    void TearDown() override {
        Animator::setInstant(false);
        dispatch::Clock::useRealTime();
    }
};

TEST_F(AnimatorTest, EndsExactlyAtTheTargetAndCompletesOnce) {
    std::vector<double> values;
    int completions = 0;
    auto animation = Animator::animate(
        0.0, 0.3, 0.15, [&](double v) { values.push_back(v); }, [&] { ++completions; });
    EXPECT_TRUE(animation->isRunning());
    dispatch::Clock::advance(0.05);
    EXPECT_EQ(completions, 0);
    ASSERT_GE(values.size(), 2u);
    EXPECT_GT(values.back(), 0.0);
    EXPECT_LT(values.back(), 0.3);
    dispatch::Clock::advance(0.2);
    EXPECT_EQ(values.back(), 0.3);  // exactly, not near it
    EXPECT_EQ(completions, 1);
    EXPECT_FALSE(animation->isRunning());
    animation->finish();
    dispatch::Clock::advance(1);
    EXPECT_EQ(completions, 1);
    for (size_t i = 1; i < values.size(); ++i) EXPECT_GE(values[i], values[i - 1]);
}

TEST_F(AnimatorTest, InstantModeEndsAtOnce) {
    Animator::setInstant(true);
    double value = -1;
    int completions = 0;
    Animator::animate(1.0, 0.0, 0.15, [&](double v) { value = v; }, [&] { ++completions; });
    EXPECT_EQ(value, 0.0);
    EXPECT_EQ(completions, 1);
    dispatch::Clock::advance(1);
    EXPECT_EQ(completions, 1);
}

TEST_F(AnimatorTest, AStoppedAnimationNeverCompletes) {
    double value = -1;
    int completions = 0;
    auto animation = Animator::animate(0.0, 10.0, 1.0, [&](double v) { value = v; }, [&] { ++completions; });
    dispatch::Clock::advance(0.5);
    animation->stop();
    double stoppedAt = value;
    dispatch::Clock::advance(2);
    EXPECT_EQ(value, stoppedAt);
    EXPECT_EQ(completions, 0);
}

}  // namespace
