#include "sdk/tally/BBXAnalyticsEventFilter.h"

#include <gtest/gtest.h>

#include "sdk/tally/BBXAnalyticsApplicationLifecycleEvent.h"
#include "sdk/tally/BBXAnalyticsEvent.h"
#include "sdk/tally/BBXTallyCustomEvent.h"

namespace {

// An install identifier whose hash, as a signed number, has the given
// remainder modulo 10 and the given sign.
std::string installIDWith(bool multipleOfTen, bool negative) {
    for (int i = 0;; ++i) {
        std::string id = "install-" + std::to_string(i);
        auto hash = static_cast<int32_t>(BBXAnalyticsEventFilter::javaHashCodeForString(id));
        if ((hash < 0) == negative && (hash % 10 == 0) == multipleOfTen) return id;
    }
}

}  // namespace

TEST(BBXAnalyticsEventFilterTest, JavaHash) {
    EXPECT_EQ(BBXAnalyticsEventFilter::javaHashCodeForString("abc"), 96354u);
    EXPECT_EQ(BBXAnalyticsEventFilter::javaHashCodeForString(""), 0u);
    // Wraps in 32 bits like Java's int.
    EXPECT_EQ(static_cast<int32_t>(BBXAnalyticsEventFilter::javaHashCodeForString("polygenelubricants")),
              std::numeric_limits<int32_t>::min());
}

TEST(BBXAnalyticsEventFilterTest, SamplesLifecycleEventsByInstall) {
    auto launched = BBXAnalyticsApplicationLifecycleEvent::initApplicationLaunchedEvent(1, "E");
    auto installed = BBXAnalyticsApplicationLifecycleEvent::initApplicationInstalledEvent(1, "E");
    auto custom = BBXAnalyticsEvent::initWithTallyEvent(*BBXTallyCustomEvent::initWithName("c"), 1, "E");
    for (bool negative : {false, true}) {
        SCOPED_TRACE(negative ? "negative hash" : "positive hash");
        std::string kept = installIDWith(true, negative);
        std::string sampledOut = installIDWith(false, negative);
        EXPECT_FALSE(BBXAnalyticsEventFilter::shouldDiscardEvent(launched.get(), std::nullopt, kept, 10));
        EXPECT_TRUE(BBXAnalyticsEventFilter::shouldDiscardEvent(launched.get(), std::nullopt, sampledOut, 10));
        EXPECT_FALSE(BBXAnalyticsEventFilter::shouldDiscardEvent(installed.get(), std::nullopt, sampledOut, 10));
        EXPECT_FALSE(BBXAnalyticsEventFilter::shouldDiscardEvent(custom.get(), std::nullopt, sampledOut, 10));
        EXPECT_FALSE(BBXAnalyticsEventFilter::shouldDiscardEvent(launched.get(), "2:beta", sampledOut, 10));
        EXPECT_FALSE(BBXAnalyticsEventFilter::shouldDiscardEvent(launched.get(), std::nullopt, sampledOut, 1));
        EXPECT_FALSE(BBXAnalyticsEventFilter::shouldDiscardEvent(launched.get(), std::nullopt, sampledOut, -5));
        EXPECT_FALSE(BBXAnalyticsEventFilter::shouldDiscardEvent(launched.get(), std::nullopt, std::nullopt, 10));
    }
    EXPECT_TRUE(BBXAnalyticsEventFilter::shouldDiscardEvent(nullptr, "2:beta", "x", 1));
    for (const char* key : {"app_launched", "app_terminated", "app_crashed", "app_memory_warning",
                            "app_entered_background", "app_entered_foreground", "app_became_inactive", "app_became_active"})
        EXPECT_TRUE(BBXAnalyticsEventFilter::samplingEnabledForEventType(key)) << key;
    for (const char* key : {"app_installed", "metadata", "custom", "predefined"})
        EXPECT_FALSE(BBXAnalyticsEventFilter::samplingEnabledForEventType(key)) << key;
}
