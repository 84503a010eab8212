#pragma once
// The base of the platform's own requests: start() marks the operation
// executing and then runs main() on the default global queue; the work calls
// finish() when it is done. Started directly, not through a queue; a cancel is
// not looked at. Any thread.

#include "platform/dispatch/Operation.h"

class BCNAsynchronousOperation : public dispatch::Operation {
public:
    // Executing is set before main() is scheduled, so a main() that finishes at
    // once never leaves the operation executing and finished together.
    void start() override;
    // The work: subclasses provide it.
    void main() override = 0;
    // Executing no more, finished.
    void finish() { markFinished(); }

    bool isConcurrent() const { return true; }
    bool isAsynchronous() const override { return true; }
};
