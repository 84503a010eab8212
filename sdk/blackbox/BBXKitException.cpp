#include "sdk/blackbox/BBXKitException.h"

#include <execinfo.h>

BBXKitException::BBXKitException(std::string name, std::string reason)
    : name_(std::move(name)), reason_(std::move(reason)) {
    void* addresses[128];
    int count = backtrace(addresses, 128);
    // Past this constructor's own frame.
    for (int i = 1; i < count; ++i) returnAddresses_.push_back(reinterpret_cast<uintptr_t>(addresses[i]));
}
