#pragma once
// The time that delays and timers run on. Normally the monotonic clock, with a
// scheduler thread that submits each block when it is due. Tests switch to a
// virtual clock that only moves when they advance it, so "0.25 s later" is exact
// and no test sleeps.

#include <cstdint>
#include <memory>
#include <optional>

#include "Queue.h"

namespace dispatch {

class Clock {
public:
    // Seconds on the current clock (monotonic, or virtual in tests).
    static double now();
    // Submits block to queue once now() reaches deadline. Returns an id for cancel().
    static uint64_t schedule(double deadline, std::shared_ptr<Queue> queue, Block block);
    static void cancel(uint64_t id);

    // Switches to the virtual clock at the given time; pending real timers move
    // with it (their remaining delays are kept).
    static void useVirtualTime(double start = 0);
    static void useRealTime();
    static bool isVirtual();
    // Moves the virtual clock forward, submitting every block that falls due, in
    // deadline order; blocks on the main queue also run before this returns.
    static void advance(double seconds);
    // The earliest deadline of the blocks not yet submitted, if any: what a test
    // on the virtual clock advances to.
    static std::optional<double> nextDeadline();
};

}  // namespace dispatch
