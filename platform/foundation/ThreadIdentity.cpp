#include "ThreadIdentity.h"

#include "ThreadRegistry.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace foundation {

namespace {
thread_local std::optional<std::string> tName;
}

std::string currentThreadID() {
    thread_local const std::string id = std::to_string(static_cast<unsigned long long>(::gettid()));
    return id;
}

std::optional<std::string> currentThreadName() { return tName; }

void setCurrentThreadName(const std::string& name) {
    tName = name;
    publishThreadName(name.c_str());
    ::pthread_setname_np(::pthread_self(), name.substr(0, 15).c_str());
}

bool isMainThread() {
    // Asked on every log call and queue lookup: one system call per thread, not per call.
    thread_local const bool main = ::gettid() == ::getpid();
    return main;
}

}  // namespace foundation
