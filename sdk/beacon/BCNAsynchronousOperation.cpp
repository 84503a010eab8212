#include "sdk/beacon/BCNAsynchronousOperation.h"

#include "platform/dispatch/Queue.h"

void BCNAsynchronousOperation::start() {
    if (!markExecuting()) return;
    // The block keeps the operation alive until its work has run.
    dispatch::Queue::global()->async([self = shared_from_this()] { self->main(); });
}
