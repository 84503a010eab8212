#pragma once
// The main queue. With a QCoreApplication its blocks run on Qt's main thread
// through the event loop. Without one (tests, tools) they wait in a run loop that
// the main thread pumps with runUntilIdle().

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
    // until none is left; returns how many ran. Main thread only; with Qt it also
    // delivers Qt's posted events.
    static int runUntilIdle();

private:
    int drainManual();

    std::mutex mutex_;
    std::deque<Block> blocks_;
};

}  // namespace dispatch
