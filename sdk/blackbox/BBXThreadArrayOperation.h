#pragma once
// An operation over a thread array: the steps of symbolication (resolve,
// demangle, write out) each run as one over the same array, one after the
// other, so the array is never touched by two at once.

#include <functional>
#include <memory>

#include "platform/dispatch/Operation.h"
#include "sdk/blackbox/BBXStackFrame.h"

class BBXThreadArrayOperation : public dispatch::Operation {
public:
    explicit BBXThreadArrayOperation(std::shared_ptr<BBXThreadArray> threadArray)
        : threadArray_(std::move(threadArray)) {}

    const std::shared_ptr<BBXThreadArray>& threadArray() const { return threadArray_; }
    // Every frame of every thread in order; a cancel takes effect after the
    // frame in progress.
    void enumerateFramesWithBlock(const std::function<void(BBXStackFrame& frame)>& block) const;

private:
    std::shared_ptr<BBXThreadArray> threadArray_;
};
