#include "platform/foundation/ThreadRegistry.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/foundation/ThreadIdentity.h"

namespace {

// Runs body on a thread of its own, then, while it still lives, check.
template <class Body, class Check>
void onThread(Body body, Check check) {
    std::atomic<pid_t> tid{0};
    std::atomic<bool> done{false};
    std::thread thread([&] {
        body();
        tid.store(::gettid());
        while (!done.load()) std::this_thread::yield();
    });
    while (!tid.load()) std::this_thread::yield();
    check(tid.load());
    done.store(true);
    thread.join();
}

TEST(ThreadRegistry, NamesAreKeptWholeUpTo63Bytes) {
    struct Case {
        std::string given;
        std::string kept;
    };
    const Case cases[] = {
        {"worker-1", "worker-1"},
        {"a name well beyond the kernel's fifteen bytes", "a name well beyond the kernel's fifteen bytes"},
        {std::string(70, 'x'), std::string(63, 'x')},
        {std::string(62, 'x') + "\xc3\xa9", std::string(62, 'x')},  // é would be cut in half
    };
    for (const auto& c : cases) {
        onThread([&] { foundation::setCurrentThreadName(c.given); },
                 [&](pid_t tid) {
                     char name[foundation::kThreadRegistryNameSize];
                     ASSERT_TRUE(foundation::publishedThreadName(tid, name, sizeof name));
                     EXPECT_EQ(std::string(name), c.kept);
                 });
    }
}

TEST(ThreadRegistry, QueueLabelsAreThoseOfTheRunningBlock) {
    static const char kOuter[] = "outer.queue";
    static const char kInner[] = "inner.queue";
    onThread(
        [] {
            foundation::publishRunningQueueLabel(kOuter);
            foundation::publishRunningQueueLabel(kInner);
        },
        [](pid_t tid) { EXPECT_EQ(foundation::publishedRunningQueueLabel(tid), kInner); });
    onThread([] {}, [](pid_t tid) {
        EXPECT_EQ(foundation::publishedRunningQueueLabel(tid), nullptr);
        char name[8];
        EXPECT_FALSE(foundation::publishedThreadName(tid, name, sizeof name));
    });
}

TEST(ThreadRegistry, AnEndedThreadLeavesNothingBehind) {
    pid_t ended = 0;
    std::thread([&] {
        foundation::setCurrentThreadName("short-lived");
        ended = ::gettid();
    }).join();
    char name[16];
    EXPECT_FALSE(foundation::publishedThreadName(ended, name, sizeof name));
}

}  // namespace
