#include "platform/crash/Threads.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/crash/ProcessFacts.h"

namespace {

using namespace std::chrono_literals;

// A thread that counts until told to stop, and knows its stack.
struct Worker {
    std::atomic<uint64_t> count{0};
    std::atomic<bool> stop{false};
    std::atomic<pid_t> tid{0};
    uintptr_t stackLow = 0;
    uintptr_t stackHigh = 0;
    std::thread thread;

    explicit Worker(bool blockSignals = false) {
        thread = std::thread([this, blockSignals] {
            if (blockSignals) {
                sigset_t all;
                sigfillset(&all);
                pthread_sigmask(SIG_BLOCK, &all, nullptr);
            }
            pthread_attr_t attributes;
            pthread_getattr_np(pthread_self(), &attributes);
            void* low = nullptr;
            size_t size = 0;
            pthread_attr_getstack(&attributes, &low, &size);
            pthread_attr_destroy(&attributes);
            stackLow = reinterpret_cast<uintptr_t>(low);
            stackHigh = stackLow + size;
            tid.store(crash::currentThreadID());
            while (!stop.load()) count.fetch_add(1);
        });
        while (!tid.load()) std::this_thread::yield();
    }
    ~Worker() {
        stop.store(true);
        thread.join();
    }
};

class CrashThreadsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(crash::installThreadSuspension()); }
};

TEST_F(CrashThreadsTest, ListsEveryThreadOfTheProcess) {
    Worker a, b;
    pid_t tids[crash::kMaxThreads];
    int count = crash::listThreads(tids, crash::kMaxThreads);
    ASSERT_GE(count, 3);
    std::vector<pid_t> listed(tids, tids + count);
    for (pid_t tid : {crash::currentThreadID(), a.tid.load(), b.tid.load(), getpid()})
        EXPECT_NE(std::find(listed.begin(), listed.end(), tid), listed.end()) << tid;
    EXPECT_EQ(crash::listThreads(tids, 1), 1);
}

TEST_F(CrashThreadsTest, SuspendsEightThreadsWhereTheyAreAndResumesThem) {
    std::vector<std::unique_ptr<Worker>> workers;
    for (int i = 0; i < 8; ++i) workers.push_back(std::make_unique<Worker>());
    for (auto& worker : workers) ASSERT_TRUE(crash::suspendThread(worker->tid));
    std::vector<uint64_t> counts;
    for (auto& worker : workers) counts.push_back(worker->count.load());
    std::this_thread::sleep_for(50ms);
    for (size_t i = 0; i < workers.size(); ++i) {
        EXPECT_EQ(workers[i]->count.load(), counts[i]) << "thread " << i << " ran on while suspended";
        crash::ThreadRegisters registers;
        ASSERT_TRUE(crash::suspendedThreadRegisters(workers[i]->tid, &registers));
        auto rsp = static_cast<uintptr_t>(registers.gregs[REG_RSP]);
        EXPECT_GE(rsp, workers[i]->stackLow);
        EXPECT_LT(rsp, workers[i]->stackHigh);
        EXPECT_NE(registers.gregs[REG_RIP], 0);
    }
    EXPECT_FALSE(crash::suspendThread(crash::currentThreadID()));
    for (auto& worker : workers) EXPECT_TRUE(crash::resumeThread(worker->tid));
    EXPECT_FALSE(crash::resumeThread(workers[0]->tid));  // not suspended any more
    std::this_thread::sleep_for(20ms);
    for (size_t i = 0; i < workers.size(); ++i) {
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (workers[i]->count.load() == counts[i] && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        EXPECT_GT(workers[i]->count.load(), counts[i]) << "thread " << i << " did not run on";
    }
}

TEST_F(CrashThreadsTest, AThreadBlockingEverySignalIsNotStoppedAndHoldsNothingUp) {
    Worker blocking(true);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(crash::suspendThread(blocking.tid));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 300ms);
    crash::ThreadRegisters registers;
    EXPECT_FALSE(crash::suspendedThreadRegisters(blocking.tid, &registers));
    EXPECT_FALSE(crash::resumeThread(blocking.tid));
    // It runs on: its count moves (on a loaded machine it may wait its turn a while).
    uint64_t before = blocking.count.load();
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (blocking.count.load() == before && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    EXPECT_GT(blocking.count.load(), before);
}

TEST_F(CrashThreadsTest, AThreadGoneSinceItWasListedFailsAtOnce) {
    pid_t gone = 0;
    std::thread([&] { gone = crash::currentThreadID(); }).join();
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(crash::suspendThread(gone));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 300ms);
}

TEST_F(CrashThreadsTest, KernelNames) {
    char name[64];
    ASSERT_TRUE(crash::kernelProcessName(name, sizeof name));
    EXPECT_STRNE(name, "");
    std::atomic<bool> named{false}, done{false};
    std::atomic<pid_t> tid{0};
    std::thread worker([&] {
        pthread_setname_np(pthread_self(), "kernel-name");
        tid.store(crash::currentThreadID());
        named.store(true);
        while (!done.load()) std::this_thread::sleep_for(1ms);
    });
    while (!named.load()) std::this_thread::yield();
    ASSERT_TRUE(crash::kernelThreadName(tid, name, sizeof name));
    EXPECT_STREQ(name, "kernel-name");
    done.store(true);
    worker.join();
}

TEST(CrashProcessFacts, ReadTheKernelsFigures) {
    crash::HostMemory memory;
    ASSERT_TRUE(crash::hostMemory(&memory));
    EXPECT_GT(memory.free, 0u);
    EXPECT_GT(memory.active + memory.inactive, 0u);
    crash::ProcessUsage usage;
    ASSERT_TRUE(crash::processUsage(&usage));
    EXPECT_GT(usage.virtualSize, usage.residentSize);
    EXPECT_GT(usage.residentSize, 0u);
    crash::Storage storage;
    ASSERT_TRUE(crash::storageOf("/", &storage));
    EXPECT_GE(storage.total, storage.free);
    EXPECT_FALSE(crash::storageOf("/no/such/folder", &storage));
}

}  // namespace
