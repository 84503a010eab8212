#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "logging/LKDispatchQueueLogFormatter.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/ThreadIdentity.h"

namespace {

std::shared_ptr<LKLogMessage> messageHere(std::string text = "text") {
    return std::make_shared<LKLogMessage>(std::move(text), 31, LKLogFlagInfo, 0, "/src/a.cpp", "f", 1, nullptr, 0);
}

// A message made on queue, and the id of the thread that made it.
std::pair<std::shared_ptr<LKLogMessage>, std::string> messageOn(const std::shared_ptr<dispatch::Queue>& queue) {
    std::shared_ptr<LKLogMessage> message;
    std::string threadID;
    queue->sync([&] {
        message = messageHere();
        threadID = foundation::currentThreadID();
    });
    return {message, threadID};
}

std::shared_ptr<LKLogMessage> messageOnThreadNamed(const std::string& name) {
    std::shared_ptr<LKLogMessage> message;
    std::thread([&] {
        foundation::setCurrentThreadName(name);
        message = messageHere();
    }).join();
    return message;
}

}  // namespace

TEST(LKDispatchQueueLogFormatterTest, LabelComesFromTheQueueThenTheThreadNameThenTheThreadID) {
    LKDispatchQueueLogFormatter f;
    ASSERT_TRUE(foundation::isMainThread());
    EXPECT_EQ(f.queueThreadLabelForLogMessage(*messageHere()), "main") << "the main queue's label is replaced";

    auto serial = dispatch::Queue::createSerial("com.tavlo.test-queue");
    EXPECT_EQ(f.queueThreadLabelForLogMessage(*messageOn(serial).first), "com.tavlo.test-queue");

    for (auto priority : {dispatch::Priority::High, dispatch::Priority::Default, dispatch::Priority::Low,
                          dispatch::Priority::Background}) {
        auto [message, threadID] = messageOn(dispatch::Queue::global(priority));
        SCOPED_TRACE(message->queueLabel());
        EXPECT_EQ(f.queueThreadLabelForLogMessage(*message), threadID) << "a shared global queue says nothing";
    }

    EXPECT_EQ(f.queueThreadLabelForLogMessage(*messageOnThreadNamed("worker")), "worker");
}

TEST(LKDispatchQueueLogFormatterTest, ReplacementsApplyToQueueAndThreadLabelsAndCanBeRemoved) {
    LKDispatchQueueLogFormatter f;
    auto serial = dispatch::Queue::createSerial("com.tavlo.test-queue");
    auto onQueue = messageOn(serial).first;
    auto onThread = messageOnThreadNamed("worker");

    f.setReplacementString("tq", "com.tavlo.test-queue");
    f.setReplacementString("w", "worker");
    EXPECT_EQ(f.replacementStringForQueueLabel("com.tavlo.test-queue"), "tq");
    EXPECT_EQ(f.queueThreadLabelForLogMessage(*onQueue), "tq");
    EXPECT_EQ(f.queueThreadLabelForLogMessage(*onThread), "w");

    f.setReplacementString(std::nullopt, "com.tavlo.test-queue");
    EXPECT_EQ(f.replacementStringForQueueLabel("com.tavlo.test-queue"), std::nullopt);
    EXPECT_EQ(f.queueThreadLabelForLogMessage(*onQueue), "com.tavlo.test-queue");
    f.setReplacementString(std::nullopt, "com.apple.main-thread");
    EXPECT_EQ(f.queueThreadLabelForLogMessage(*messageHere()), "com.apple.main-thread");
}

TEST(LKDispatchQueueLogFormatterTest, LabelIsCutToTheMaximumOrPaddedToTheMinimum) {
    struct Row { const char* name; uint64_t min; uint64_t max; std::string expected; };
    // The label on the main queue is "main" (4 characters).
    const Row rows[] = {
        {"no limits", 0, 0, "main"},
        {"cut to 3", 0, 3, "mai"},
        {"max above the length", 0, 5, "main"},
        {"padded to 10 with 6 blanks", 10, 0, "main      "},
        {"min at the length", 4, 0, "main"},
        {"cut wins over padding", 10, 2, "ma"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        LKDispatchQueueLogFormatter f;
        f.setMinQueueLength(r.min);
        f.setMaxQueueLength(r.max);
        EXPECT_EQ(f.queueThreadLabelForLogMessage(*messageHere()), r.expected);
    }

    LKDispatchQueueLogFormatter f;
    f.setMaxQueueLength(5);
    EXPECT_EQ(f.queueThreadLabelForLogMessage(*messageOn(dispatch::Queue::createSerial("com.tavlo.long")).first),
              "com.t");
    f.setReplacementString("ünïcødé", "com.apple.main-thread");
    EXPECT_EQ(f.queueThreadLabelForLogMessage(*messageHere()), "ünïcø") << "cut by characters, not bytes";
}

TEST(LKDispatchQueueLogFormatterTest, LineIsMillisecondTimeLabelAndText) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    LKDispatchQueueLogFormatter f;
    const auto when = logging::Timestamp(std::chrono::milliseconds(1714555805123));  // 2024-05-01 09:30:05.123 UTC
    EXPECT_EQ(f.stringFromDate(when), "2024-05-01 09:30:05:123");
    EXPECT_EQ(f.stringFromDate(logging::Timestamp(std::chrono::milliseconds(1714555805007))), "2024-05-01 09:30:05:007");

    LKLogMessage message("100% %@ text", 31, LKLogFlagInfo, 0, "/src/a.cpp", "f", 1, nullptr, 0, when);
    EXPECT_EQ(f.formatLogMessage(message), "2024-05-01 09:30:05:123 [main] 100% %@ text");
}
