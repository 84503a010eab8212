#include "Clock.h"
#include "ThreadSignalStack.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <thread>
#include <utility>

#include "MainQueue.h"

namespace dispatch {

namespace {

struct Entry {
    uint64_t id;
    std::shared_ptr<Queue> queue;
    Block block;
};

double monotonicNow() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

class Scheduler {
public:
    double now() {
        std::lock_guard lock(mutex_);
        return nowLocked();
    }

    uint64_t schedule(double deadline, std::shared_ptr<Queue> queue, Block block) {
        std::unique_lock lock(mutex_);
        uint64_t id = ++nextID_;
        entries_.emplace(std::make_pair(deadline, id), Entry{id, std::move(queue), std::move(block)});
        if (!virtual_) ensureThreadLocked();
        wake_.notify_all();
        return id;
    }

    void cancel(uint64_t id) {
        std::lock_guard lock(mutex_);
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (it->second.id == id) {
                entries_.erase(it);
                return;
            }
        }
    }

    void useVirtual(double start) {
        std::lock_guard lock(mutex_);
        double realNow = nowLocked();
        rebase(start - realNow);
        virtual_ = true;
        virtualNow_ = start;
    }

    void useReal() {
        std::lock_guard lock(mutex_);
        if (!virtual_) return;
        rebase(monotonicNow() - virtualNow_);
        virtual_ = false;
        if (!entries_.empty()) ensureThreadLocked();
        wake_.notify_all();
    }

    bool isVirtual() {
        std::lock_guard lock(mutex_);
        return virtual_;
    }

    void advance(double seconds) {
        double target;
        {
            std::lock_guard lock(mutex_);
            if (!virtual_) return;
            target = virtualNow_ + (seconds > 0 ? seconds : 0);
        }
        // Fire one due block at a time, so blocks scheduled by fired blocks (a
        // repeating timer) fire in order within the same advance.
        for (;;) {
            Entry entry;
            {
                std::lock_guard lock(mutex_);
                auto it = entries_.begin();
                if (it == entries_.end() || it->first.first > target) {
                    virtualNow_ = target;
                    break;
                }
                virtualNow_ = std::max(virtualNow_, it->first.first);
                entry = std::move(it->second);
                entries_.erase(it);
            }
            entry.queue->async(std::move(entry.block));
            MainQueue::runUntilIdle();
        }
        MainQueue::runUntilIdle();
    }

    std::optional<double> nextDeadline() {
        std::lock_guard lock(mutex_);
        if (entries_.empty()) return std::nullopt;
        return entries_.begin()->first.first;
    }

private:
    double nowLocked() const { return virtual_ ? virtualNow_ : monotonicNow(); }

    void rebase(double shift) {
        std::multimap<std::pair<double, uint64_t>, Entry> moved;
        for (auto& [key, entry] : entries_) moved.emplace(std::make_pair(key.first + shift, key.second), std::move(entry));
        entries_.clear();
        for (auto& [key, entry] : moved) entries_.emplace(key, std::move(entry));
    }

    void ensureThreadLocked() {
        if (threadRunning_) return;
        threadRunning_ = true;
        std::thread([this] {
            installThreadSignalStack();
            run();
        }).detach();
    }

    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            if (virtual_) {
                threadRunning_ = false;
                return;
            }
            if (entries_.empty()) {
                wake_.wait(lock);
                continue;
            }
            auto it = entries_.begin();
            double wait = it->first.first - monotonicNow();
            if (wait > 0) {
                wake_.wait_for(lock, std::chrono::duration<double>(wait));
                continue;
            }
            Entry entry = std::move(it->second);
            entries_.erase(it);
            lock.unlock();
            entry.queue->async(std::move(entry.block));
            entry = {};
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::map<std::pair<double, uint64_t>, Entry> entries_;
    uint64_t nextID_ = 0;
    bool virtual_ = false;
    double virtualNow_ = 0;
    bool threadRunning_ = false;
};

Scheduler& scheduler() {
    static Scheduler* s = new Scheduler;  // lives for the process
    return *s;
}

}  // namespace

double Clock::now() { return scheduler().now(); }
uint64_t Clock::schedule(double deadline, std::shared_ptr<Queue> queue, Block block) {
    return scheduler().schedule(deadline, std::move(queue), std::move(block));
}
void Clock::cancel(uint64_t id) { scheduler().cancel(id); }
void Clock::useVirtualTime(double start) { scheduler().useVirtual(start); }
void Clock::useRealTime() { scheduler().useReal(); }
bool Clock::isVirtual() { return scheduler().isVirtual(); }
void Clock::advance(double seconds) { scheduler().advance(seconds); }
std::optional<double> Clock::nextDeadline() { return scheduler().nextDeadline(); }

}  // namespace dispatch
