#pragma once
// The global queues: one pool of workers serves all priorities, higher first.
// Blocks run concurrently. The pool grows while every worker is busy (a block
// may wait on another global block) and shrinks back when idle.

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
