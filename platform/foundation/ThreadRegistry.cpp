#include "ThreadRegistry.h"

#include <unistd.h>

#include <atomic>
#include <cstring>

namespace foundation {

namespace {

struct Slot {
    std::atomic<pid_t> tid{0};
    std::atomic<const char*> queueLabel{nullptr};
    std::atomic<bool> hasName{false};
    char name[kThreadRegistryNameSize] = {};
};

Slot gSlots[kThreadRegistrySlots];

// The calling thread's slot, claimed on first use and released at its end.
struct Claim {
    Slot* slot = nullptr;
    Claim() {
        pid_t self = ::gettid();
        for (Slot& candidate : gSlots) {
            pid_t free = 0;
            if (candidate.tid.compare_exchange_strong(free, self)) {
                slot = &candidate;
                break;
            }
        }
    }
    ~Claim() {
        if (!slot) return;
        slot->queueLabel.store(nullptr);
        slot->hasName.store(false);
        slot->tid.store(0);
    }
};

Slot* ownSlot() {
    thread_local Claim claim;
    return claim.slot;
}

thread_local const char* tQueueLabel = nullptr;
thread_local bool tClaimed = false;

const Slot* slotOf(pid_t tid) {
    if (tid <= 0) return nullptr;
    for (const Slot& slot : gSlots)
        if (slot.tid.load(std::memory_order_acquire) == tid) return &slot;
    return nullptr;
}

}  // namespace

void publishThreadName(const char* name) {
    tClaimed = true;
    Slot* slot = ownSlot();
    if (!slot) return;
    size_t length = name ? std::strlen(name) : 0;
    if (length >= kThreadRegistryNameSize) {
        length = kThreadRegistryNameSize - 1;
        // Never cut a UTF-8 character in half: step back over continuation bytes.
        while (length > 0 && (static_cast<unsigned char>(name[length]) & 0xc0) == 0x80) --length;
    }
    slot->hasName.store(false);
    std::memcpy(slot->name, name ? name : "", length);
    slot->name[length] = '\0';
    slot->hasName.store(name != nullptr, std::memory_order_release);
}

void publishRunningQueueLabel(const char* label) {
    tQueueLabel = label;
    // A thread that never published anything needs no slot to clear.
    if (!label && !tClaimed) return;
    tClaimed = true;
    if (Slot* slot = ownSlot()) slot->queueLabel.store(label, std::memory_order_release);
}

const char* currentRunningQueueLabel() { return tQueueLabel; }

bool publishedThreadName(pid_t tid, char* out, size_t size) {
    const Slot* slot = slotOf(tid);
    if (!slot || !out || size == 0 || !slot->hasName.load(std::memory_order_acquire)) return false;
    size_t length = 0;
    while (length + 1 < size && length < kThreadRegistryNameSize - 1 && slot->name[length]) {
        out[length] = slot->name[length];
        ++length;
    }
    out[length] = '\0';
    return true;
}

const char* publishedRunningQueueLabel(pid_t tid) {
    const Slot* slot = slotOf(tid);
    return slot ? slot->queueLabel.load(std::memory_order_acquire) : nullptr;
}

}  // namespace foundation
