#include "ThreadSignalStack.h"

#include <signal.h>
#include <sys/mman.h>

namespace dispatch {

namespace {

struct OwnedStack {
    void* base = nullptr;
    ~OwnedStack() {
        if (!base) return;
        // Still ours: take it off the thread before the memory goes.
        stack_t current{};
        if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == base) {
            stack_t off{};
            off.ss_flags = SS_DISABLE;
            sigaltstack(&off, nullptr);
        }
        munmap(base, kThreadSignalStackSize);
    }
};

thread_local OwnedStack tStack;

}  // namespace

void installThreadSignalStack() {
    if (tStack.base) return;
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE)) return;
    void* base = mmap(nullptr, kThreadSignalStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK,
                      -1, 0);
    if (base == MAP_FAILED) return;
    stack_t stack{};
    stack.ss_sp = base;
    stack.ss_size = kThreadSignalStackSize;
    if (sigaltstack(&stack, nullptr) != 0) {
        munmap(base, kThreadSignalStackSize);
        return;
    }
    tStack.base = base;
}

}  // namespace dispatch
