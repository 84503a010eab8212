#include "sdk/blackbox/BBXSymbolicationOperation.h"

void BBXSymbolicationOperation::main() {
    if (!symbolResolver_) return;
    enumerateFramesWithBlock([this](BBXStackFrame& frame) { symbolResolver_->updateStackFrame(frame); });
}
