#include "sdk/blackbox/BBXThreadArrayOperation.h"

void BBXThreadArrayOperation::enumerateFramesWithBlock(const std::function<void(BBXStackFrame& frame)>& block) const {
    if (!threadArray_ || !block) return;
    for (const auto& thread : *threadArray_) {
        for (const auto& frame : thread) {
            if (frame) block(*frame);
            if (isCancelled()) return;
        }
    }
}
