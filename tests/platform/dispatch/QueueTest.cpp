#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>
#include <QTimer>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/Group.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/dispatch/TimerSource.h"
#include "platform/foundation/ThreadIdentity.h"

using namespace dispatch;

TEST(SerialQueueTest, KeepsFifoOrderPerProducerAcrossProducers) {
    auto q = Queue::createSerial("test.fifo");
    constexpr int kProducers = 4, kEach = 2000;
    std::vector<int> seen;  // touched only on q
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
        producers.emplace_back([&, p] {
            for (int i = 0; i < kEach; ++i) q->async([&seen, p, i, kEach = kEach] { seen.push_back(p * kEach + i); });
        });
    for (auto& t : producers) t.join();
    q->sync([] {});
    ASSERT_EQ(seen.size(), size_t(kProducers * kEach));
    std::vector<int> last(kProducers, -1);
    for (int v : seen) {
        int p = v / kEach;
        EXPECT_GT(v, last[p]) << "producer " << p << " out of order";
        last[p] = v;
    }
}

TEST(SerialQueueTest, SyncRunsOnTheQueueWithItsLabelAndSpecifics) {
    auto q = Queue::createSerial("test.label");
    static int key;
    q->setSpecific(&key, q.get());
    std::string label;
    const void* specific = nullptr;
    bool current = false;
    EXPECT_TRUE(q->sync([&] {
        label = currentQueueLabel();
        specific = getSpecific(&key);
        current = q->isCurrent();
    }));
    EXPECT_EQ(label, "test.label");
    EXPECT_EQ(specific, q.get());
    EXPECT_TRUE(current);
    EXPECT_FALSE(q->isCurrent());
    EXPECT_EQ(getSpecific(&key), nullptr);
}

TEST(SerialQueueTest, SyncOntoTheCurrentQueueRunsInPlaceInsteadOfDeadlocking) {
    auto q = Queue::createSerial("test.reentrant");
    bool inner = false, answered = true;
    q->sync([&] { answered = q->sync([&] { inner = true; }); });
    EXPECT_TRUE(inner);
    EXPECT_FALSE(answered);
}

TEST(SerialQueueTest, SyncInPlaceRunsOnTheCallerAfterEarlierBlocksAndBeforeLaterOnes) {
    auto q = Queue::createSerial("test.in-place");
    std::vector<int> order;  // touched only as q's blocks
    std::atomic<bool> release{false};
    q->async([&] {
        while (!release.load()) std::this_thread::yield();
        order.push_back(1);
    });
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        release.store(true);
    });
    auto caller = std::this_thread::get_id();
    std::thread::id ranOn;
    bool current = false;
    q->syncInPlace([&] {
        ranOn = std::this_thread::get_id();
        current = q->isCurrent();
        q->async([&] { order.push_back(3); });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        order.push_back(2);
    });
    q->sync([] {});
    releaser.join();
    EXPECT_EQ(ranOn, caller);
    EXPECT_TRUE(current);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(SerialQueueTest, ItsThreadsHaveAnAlternateSignalStack) {
    auto q = Queue::createSerial("test.signal-stack");
    stack_t stack{};
    std::atomic<bool> done{false};
    q->async([&] {  // on the queue's worker, not inline
        sigaltstack(nullptr, &stack);
        done.store(true);
    });
    while (!done.load()) std::this_thread::yield();
    EXPECT_FALSE(stack.ss_flags & SS_DISABLE);
    EXPECT_GE(stack.ss_size, 32u * 1024);
}

TEST(GlobalQueueTest, RunsBlocksConcurrentlyWithPriorityLabels) {
    EXPECT_EQ(Queue::global(Priority::Default)->label(), "com.apple.root.default-priority");
    EXPECT_EQ(Queue::global(Priority::High)->label(), "com.apple.root.high-priority");
    EXPECT_EQ(Queue::global(Priority::Low)->label(), "com.apple.root.low-priority");
    // Two blocks that each wait for the other can only finish when they run at once.
    Semaphore a(0), b(0);
    Group group;
    group.async(Queue::global(), [&] { a.signal(); EXPECT_TRUE(b.wait(5)); });
    group.async(Queue::global(), [&] { b.signal(); EXPECT_TRUE(a.wait(5)); });
    EXPECT_TRUE(group.wait(10));
    std::string label;
    Queue::global(Priority::Low)->sync([&] { label = currentQueueLabel(); });
    EXPECT_EQ(label, "com.apple.root.low-priority");
}

TEST(GlobalQueueTest, ABurstOfBlockingBlocksRunsAtOnceBesideAnIdleWorker) {
    // An idle worker from earlier work must not take the whole burst alone.
    Queue::global()->sync([] {});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Group group;
    for (int i = 0; i < 8; ++i)
        group.async(Queue::global(), [] { std::this_thread::sleep_for(std::chrono::milliseconds(500)); });
    EXPECT_TRUE(group.wait(1.2));  // one after another they would take 4 s
    group.wait();
}

TEST(GroupTest, NotifyRunsOnceEveryMemberLeft) {
    Group group;
    auto q = Queue::createSerial("test.group");
    std::atomic<int> done{0};
    Semaphore gate(0);
    for (int i = 0; i < 3; ++i) group.async(Queue::global(), [&] { gate.wait(); ++done; });
    Semaphore notified(0);
    int seenAtNotify = -1;
    group.notify(q, [&] { seenAtNotify = done; notified.signal(); });
    EXPECT_FALSE(group.wait(0.05));
    for (int i = 0; i < 3; ++i) gate.signal();
    EXPECT_TRUE(notified.wait(5));
    EXPECT_EQ(seenAtNotify, 3);
}

TEST(SemaphoreTest, WaitTimesOutThenSucceedsAfterSignal) {
    Semaphore s(0);
    EXPECT_FALSE(s.wait(0.01));
    s.signal();
    EXPECT_TRUE(s.wait(0));
}

class VirtualClockTest : public ::testing::Test {
protected:
    void SetUp() override { Clock::useVirtualTime(1000); }
    void TearDown() override { Clock::useRealTime(); }
};

TEST_F(VirtualClockTest, AfterOnTheMainQueueFiresAtTheVirtualTime) {
    std::vector<double> fired;
    after(0.25, Queue::main(), [&] { fired.push_back(Clock::now()); });
    after(0.5, Queue::main(), [&] { fired.push_back(Clock::now()); });
    Clock::advance(0.2);
    EXPECT_TRUE(fired.empty());
    Clock::advance(0.05);
    ASSERT_EQ(fired.size(), 1u);
    EXPECT_DOUBLE_EQ(fired[0], 1000.25);
    Clock::advance(10);
    ASSERT_EQ(fired.size(), 2u);
    EXPECT_DOUBLE_EQ(fired[1], 1000.5);
}

TEST_F(VirtualClockTest, RepeatingTimerFiresEachIntervalUntilCancelled) {
    auto timer = TimerSource::create(Queue::main());
    int ticks = 0;
    timer->setHandler([&] { ++ticks; });
    timer->setTimer(0.25, 0.25);
    Clock::advance(1);
    EXPECT_EQ(ticks, 0) << "a new timer is suspended";
    timer->resume();
    Clock::advance(1.0);
    EXPECT_EQ(ticks, 4);
    timer->suspend();
    Clock::advance(1.0);
    EXPECT_EQ(ticks, 4);
    // Firings missed while suspended come as one at resume, then the interval goes on.
    timer->resume();
    Clock::advance(0);
    EXPECT_EQ(ticks, 5);
    Clock::advance(0.25);
    EXPECT_EQ(ticks, 6);
    bool cancelled = false;
    timer->setCancelHandler([&] { cancelled = true; });
    timer->cancel();
    Clock::advance(1.0);
    MainQueue::runUntilIdle();
    EXPECT_EQ(ticks, 6);
    EXPECT_TRUE(cancelled);
}

TEST(MainQueueTest, ManualRunLoopRunsBlocksOnTheMainThreadWhenPumped) {
    bool ran = false;
    std::thread([&] { Queue::main()->async([&] { ran = foundation::isMainThread(); }); }).join();
    EXPECT_FALSE(ran);
    EXPECT_EQ(MainQueue::runUntilIdle(), 1);
    EXPECT_TRUE(ran);
    EXPECT_EQ(currentQueueLabel(), "com.apple.main-thread");
}

TEST(MainQueueTest, RunsOnQtsMainThreadInAnApplication) {
    int argc = 1;
    char arg0[] = "test";
    char* argv[] = {arg0};
    QCoreApplication app(argc, argv);
    std::atomic<bool> onQtMain{false};
    std::string label;
    std::thread([&] {
        Queue::main()->async([&] {
            onQtMain = QThread::currentThread() == app.thread();
            label = currentQueueLabel();
            app.quit();
        });
    }).join();
    QTimer::singleShot(5000, &app, [&] { app.exit(1); });
    EXPECT_EQ(app.exec(), 0);
    EXPECT_TRUE(onQtMain);
    EXPECT_EQ(label, "com.apple.main-thread");
}

TEST(MainQueueTest, BlocksWaitingBeforeTheApplicationRunInOrderOnceItRuns) {
    std::vector<int> order;
    std::thread([&] { Queue::main()->async([&] { order.push_back(1); }); }).join();
    int argc = 1;
    char arg0[] = "test";
    char* argv[] = {arg0};
    QCoreApplication app(argc, argv);
    std::thread([&] {
        Queue::main()->async([&] {
            order.push_back(2);
            app.quit();
        });
    }).join();
    QTimer::singleShot(5000, &app, [&] { app.exit(1); });
    EXPECT_EQ(app.exec(), 0);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(MainQueueTest, BlocksKeepTheirPlaceAmongQtsEvents) {
    int argc = 1;
    char arg0[] = "test";
    char* argv[] = {arg0};
    QCoreApplication app(argc, argv);
    std::vector<std::string> order;
    auto postEvent = [&](std::string name) {
        QMetaObject::invokeMethod(&app, [&order, name] { order.push_back(name); }, Qt::QueuedConnection);
    };
    postEvent("event 1");
    Queue::main()->async([&] {
        order.push_back("block 1");
        Queue::main()->async([&] { order.push_back("block 3"); });
    });
    postEvent("event 2");
    std::thread([&] { Queue::main()->async([&] { order.push_back("block 2"); }); }).join();
    postEvent("event 3");
    EXPECT_EQ(MainQueue::runUntilIdle(), 3);
    EXPECT_EQ(order, (std::vector<std::string>{"event 1", "block 1", "event 2", "block 2", "event 3", "block 3"}));
}
