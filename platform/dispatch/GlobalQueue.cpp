#include "GlobalQueue.h"
#include "ThreadSignalStack.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <thread>

namespace dispatch {

namespace {

constexpr int kMaxWorkers = 64;
constexpr auto kIdleLinger = std::chrono::seconds(2);

struct Task {
    GlobalQueue* queue = nullptr;
    Block block;
};

class Pool {
public:
    void submit(GlobalQueue* queue, Block block) {
        std::unique_lock lock(mutex_);
        tasks_[static_cast<size_t>(queue->priority())].push_back({queue, std::move(block)});
        ++queued_;
        // One wake per block: a worker stays counted idle until it has taken
        // its block, so waking only "when one is idle" would hand a whole
        // burst to that one worker.
        if (idle_ > 0) wake_.notify_one();
        // Workers that are idle or still starting will each take one block;
        // start another while queued blocks outnumber them.
        if (queued_ <= idle_ + starting_ || workers_ >= kMaxWorkers) return;
        ++workers_;
        ++starting_;
        lock.unlock();
        std::thread([this] {
            installThreadSignalStack();
            work();
        }).detach();
    }

private:
    bool takeNext(Task& out) {
        for (auto& fifo : tasks_) {
            if (!fifo.empty()) {
                out = std::move(fifo.front());
                fifo.pop_front();
                --queued_;
                return true;
            }
        }
        return false;
    }

    void work() {
        std::unique_lock lock(mutex_);
        --starting_;
        for (;;) {
            Task task;
            if (!takeNext(task)) {
                ++idle_;
                bool woke = wake_.wait_for(lock, kIdleLinger, [this] { return queued_ > 0; });
                --idle_;
                if (!woke) {
                    --workers_;
                    return;
                }
                continue;
            }
            lock.unlock();
            runOn(task);
            lock.lock();
        }
    }

    static void runOn(Task& task);

    std::mutex mutex_;
    std::condition_variable wake_;
    std::array<std::deque<Task>, 4> tasks_;
    int workers_ = 0;
    int idle_ = 0;      // waiting for a block
    int starting_ = 0;  // started, not yet looking for a block
    int queued_ = 0;    // blocks in tasks_
};

Pool& pool() {
    static Pool* p = new Pool;  // lives for the process; workers never join
    return *p;
}

}  // namespace

void Pool::runOn(Task& task) {
    task.block();  // the block already runs through the queue's perform()
}

GlobalQueue::GlobalQueue(Priority priority, std::string label) : Queue(std::move(label)), priority_(priority) {}

void GlobalQueue::async(Block block) {
    if (!block) return;
    pool().submit(this, [this, b = std::move(block)] { perform(b); });
}

}  // namespace dispatch
