#pragma once
// The main queue. Its blocks wait in the queue's own list; with a
// QCoreApplication each block also posts one wake-up to Qt's event loop, which
// runs the next waiting block on Qt's main thread, so blocks keep their place
// among Qt's events. Without one (tests, tools) they wait until the main thread
// pumps them with runUntilIdle().

#include <atomic>
#include <cstddef>
#include <deque>
#include <mutex>

#include "Queue.h"

namespace dispatch {

class MainQueue final : public Queue {
public:
    MainQueue();
    void async(Block block) override;
    bool isCurrent() const override;

    // Runs the blocks waiting on the main queue, including those they submit,
    // until none is left; returns how many ran. Main thread only; with Qt it
    // delivers Qt's posted events first, so each block runs in its place among
    // them.
    static int runUntilIdle();

private:
    // Runs the first waiting block, if any; answers whether one ran.
    bool runNext();
    // Posts a wake-up for every waiting block that has none. Called with mutex_
    // held, so the hand-over of the block and of Qt's event is ordered by it.
    void wakeForWaitingBlocks();
    void wokenUp();
    static void forgetWakeUps();

    std::mutex mutex_;
    std::deque<Block> blocks_;
    // Wake-ups posted to the running application and not yet delivered.
    std::size_t pendingWakeUps_ = 0;
    std::atomic<bool> postRoutineAdded_{false};
    // Blocks run so far; touched on the main thread only.
    long long ran_ = 0;
};

}  // namespace dispatch
