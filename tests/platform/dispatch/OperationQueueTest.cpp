#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/dispatch/OperationQueue.h"
#include "platform/dispatch/Semaphore.h"

using namespace dispatch;

namespace {

// Waits (bounded) until done() holds.
template <class F>
bool eventually(F done, double seconds = 10) {
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace

TEST(OperationQueueTest, OneAtATimeKeepsOrderAndNeverOverlaps) {
    auto queue = OperationQueue::create("test.serial", 1);
    EXPECT_EQ(queue->name(), "test.serial");
    EXPECT_EQ(queue->maxConcurrentOperationCount(), 1);
    std::vector<int> seen;  // touched by one operation at a time
    std::atomic<int> inside{0}, overlaps{0};
    std::atomic<bool> currentSeen{true};
    for (int i = 0; i < 300; ++i)
        queue->addOperation([&, i] {
            if (inside.fetch_add(1) != 0) ++overlaps;
            if (OperationQueue::current() != queue.get()) currentSeen = false;
            if (i % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
            seen.push_back(i);
            inside.fetch_sub(1);
        });
    queue->waitUntilAllOperationsAreFinished();
    ASSERT_EQ(seen.size(), 300u);
    for (int i = 0; i < 300; ++i) EXPECT_EQ(seen[i], i);
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_TRUE(currentSeen.load());
    EXPECT_EQ(queue->operationCount(), 0u);
    EXPECT_EQ(OperationQueue::current(), nullptr);
}

TEST(OperationQueueTest, WithoutALimitOperationsRunTogether) {
    auto queue = OperationQueue::create("test.concurrent");
    constexpr int kCount = 4;
    std::atomic<int> arrived{0};
    std::atomic<int> metAll{0};
    for (int i = 0; i < kCount; ++i)
        queue->addOperation([&] {
            ++arrived;
            // Each waits for all the others: only possible when they run at once.
            if (eventually([&] { return arrived.load() == kCount; }, 5)) ++metAll;
        });
    queue->waitUntilAllOperationsAreFinished();
    EXPECT_EQ(metAll.load(), kCount);
}

TEST(OperationQueueTest, CancelledBeforeStartNeverRunsButFinishes) {
    auto queue = OperationQueue::create("test.cancel-before", 1);
    Semaphore release(0);
    queue->addOperation([&] { release.wait(10); });
    std::atomic<bool> ran{false};
    auto second = BlockOperation::create([&] { ran = true; });
    std::atomic<int> finishes{0};
    second->whenFinished([&] { ++finishes; });
    queue->addOperation(second);
    EXPECT_EQ(queue->operationCount(), 2u);
    second->cancel();
    EXPECT_TRUE(second->isCancelled());
    release.signal();
    queue->waitUntilAllOperationsAreFinished();
    EXPECT_FALSE(ran.load());
    EXPECT_TRUE(second->isFinished());
    EXPECT_FALSE(second->isExecuting());
    EXPECT_EQ(finishes.load(), 1);
}

TEST(OperationQueueTest, CancelledWhileRunningSeesItsFlagAndFinishesOnce) {
    auto queue = OperationQueue::create("test.cancel-running", 1);
    std::atomic<bool> running{false}, sawCancel{false};
    auto operation = BlockOperation::create([&](const Operation& self) {
        running = true;
        eventually([&] { return self.isCancelled(); });
        sawCancel = self.isCancelled();
    });
    std::atomic<int> finishes{0};
    operation->whenFinished([&] { ++finishes; });
    std::atomic<bool> afterRan{false};
    queue->addOperation(operation);
    queue->addOperation([&] { afterRan = true; });
    ASSERT_TRUE(eventually([&] { return running.load(); }));
    EXPECT_TRUE(operation->isExecuting());
    EXPECT_FALSE(operation->isFinished());
    queue->cancelAllOperations();
    ASSERT_TRUE(operation->waitUntilFinished(10));
    queue->waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(sawCancel.load());
    EXPECT_EQ(finishes.load(), 1);
    EXPECT_FALSE(afterRan.load());  // cancelled too, while it waited
    operation->start();             // a finished operation does not run again
    EXPECT_EQ(finishes.load(), 1);
}

TEST(OperationQueueTest, FinishedOnlyOnceItsBlockHasReturned) {
    auto queue = OperationQueue::create("test.states", 1);
    std::atomic<bool> executingInside{false}, finishedInside{true};
    std::shared_ptr<Operation> operation;
    Semaphore go(0);
    operation = BlockOperation::create([&](const Operation& self) {
        go.wait(10);
        executingInside = self.isExecuting();
        finishedInside = self.isFinished();
    });
    EXPECT_FALSE(operation->isExecuting());
    EXPECT_FALSE(operation->isFinished());
    queue->addOperation(operation);
    EXPECT_FALSE(operation->waitUntilFinished(0.05));
    go.signal();
    ASSERT_TRUE(operation->waitUntilFinished(10));
    EXPECT_TRUE(executingInside.load());
    EXPECT_FALSE(finishedInside.load());
    EXPECT_TRUE(operation->isFinished());
    EXPECT_FALSE(operation->isExecuting());
    // The queue lets go of an operation just after it is marked finished.
    queue->waitUntilAllOperationsAreFinished();
    queue->addOperation(operation);  // a finished operation is not taken again
    EXPECT_EQ(queue->operationCount(), 0u);
}

// An asynchronous operation holds its place in a serial queue until it says it
// has finished, not merely until start() returns.
TEST(OperationQueueTest, AnAsynchronousOperationHoldsItsPlaceUntilFinished) {
    struct Later final : Operation {
        Semaphore* release;
        explicit Later(Semaphore* r) : release(r) {}
        bool isAsynchronous() const override { return true; }
        void start() override {
            if (!markExecuting()) return;
            std::thread([self = shared_from_this(), this] {
                release->wait(10);
                markFinished();
            }).detach();
        }
    };
    auto queue = OperationQueue::create("test.async", 1);
    Semaphore release(0);
    auto later = std::make_shared<Later>(&release);
    std::atomic<bool> nextRan{false};
    queue->addOperation(later);
    queue->addOperation([&] { nextRan = true; });
    ASSERT_TRUE(eventually([&] { return later->isExecuting(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(nextRan.load());
    release.signal();
    queue->waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(nextRan.load());
    EXPECT_TRUE(later->isFinished());
}
