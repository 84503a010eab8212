#include "MainQueue.h"

#include <QCoreApplication>
#include <QMetaObject>

#include "GlobalQueue.h"
#include "SerialQueue.h"
#include "platform/foundation/ThreadIdentity.h"

namespace dispatch {

namespace {
constexpr const char* kMainLabel = "com.apple.main-thread";

// Qt hands a posted block to the main thread through its own mutexes and
// futexes, which ThreadSanitizer does not see: without telling it, everything a
// block reads of what its submitter wrote looks like a race. Each hand-off
// releases this address before posting and acquires it before the block runs.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
char handOff;
void releaseHandOff() { __tsan_release(&handOff); }
void acquireHandOff() { __tsan_acquire(&handOff); }
#else
void releaseHandOff() {}
void acquireHandOff() {}
#endif
}  // namespace

MainQueue::MainQueue() : Queue(kMainLabel) {}

bool MainQueue::isCurrent() const {
    // The main thread belongs to the main queue except while it runs another
    // queue's block (a sync that ran in place on it).
    Queue* q = Queue::current();
    return q == this;
}

void MainQueue::async(Block block) {
    if (!block) return;
    if (QCoreApplication* app = QCoreApplication::instance()) {
        releaseHandOff();
        QMetaObject::invokeMethod(
            app,
            [this, b = std::move(block)] {
                acquireHandOff();
                perform(b);
            },
            Qt::QueuedConnection);
        return;
    }
    std::lock_guard lock(mutex_);
    blocks_.push_back(std::move(block));
}

int MainQueue::drainManual() {
    int count = 0;
    for (;;) {
        Block block;
        {
            std::lock_guard lock(mutex_);
            if (blocks_.empty()) return count;
            block = std::move(blocks_.front());
            blocks_.pop_front();
        }
        perform(block);
        ++count;
    }
}

int MainQueue::runUntilIdle() {
    if (!foundation::isMainThread()) return 0;
    auto* q = static_cast<MainQueue*>(Queue::main().get());
    int count = q->drainManual();
    if (QCoreApplication::instance()) {
        QCoreApplication::sendPostedEvents();
        count += q->drainManual();
    }
    return count;
}

std::shared_ptr<Queue> Queue::main() {
    static auto* q = new std::shared_ptr<Queue>(std::make_shared<MainQueue>());  // lives for the process
    return *q;
}

std::shared_ptr<Queue> Queue::global(Priority priority) {
    static auto* queues = new std::shared_ptr<Queue>[4]{
        std::make_shared<GlobalQueue>(Priority::High, "com.apple.root.high-priority"),
        std::make_shared<GlobalQueue>(Priority::Default, "com.apple.root.default-priority"),
        std::make_shared<GlobalQueue>(Priority::Low, "com.apple.root.low-priority"),
        std::make_shared<GlobalQueue>(Priority::Background, "com.apple.root.background-priority"),
    };
    return queues[static_cast<int>(priority)];
}

std::shared_ptr<Queue> Queue::createSerial(std::string label) {
    return std::make_shared<SerialQueue>(std::move(label));
}

}  // namespace dispatch
