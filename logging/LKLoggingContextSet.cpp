#include "LKLoggingContextSet.h"

void LKLoggingContextSet::addToSet(int64_t context) {
    std::lock_guard lock(mutex_);
    contexts_.insert(context);
}

void LKLoggingContextSet::removeFromSet(int64_t context) {
    std::lock_guard lock(mutex_);
    contexts_.erase(context);
}

std::vector<int64_t> LKLoggingContextSet::currentSet() const {
    std::lock_guard lock(mutex_);
    return {contexts_.begin(), contexts_.end()};
}

bool LKLoggingContextSet::isInSet(int64_t context) const {
    std::lock_guard lock(mutex_);
    return contexts_.count(context) != 0;
}
