#pragma once
// The global queues: one pool of workers serves all priorities, higher first.
// Blocks run concurrently: every queued block wakes a worker, and the pool
// (at most 64 workers) grows while queued blocks outnumber idle workers, so a
// blocking block (a fetch, an fsync) never holds up another. Workers idle for
// two seconds end.

#include "Queue.h"

namespace dispatch {

class GlobalQueue final : public Queue {
public:
    GlobalQueue(Priority priority, std::string label);
    void async(Block block) override;
    Priority priority() const { return priority_; }

private:
    Priority priority_;
};

}  // namespace dispatch
