#include "MainQueue.h"

#include <QCoreApplication>
#include <QMetaObject>

#include "GlobalQueue.h"
#include "SerialQueue.h"
#include "platform/foundation/ThreadIdentity.h"

namespace dispatch {

namespace {
constexpr const char* kMainLabel = "com.apple.main-thread";
}  // namespace

MainQueue::MainQueue() : Queue(kMainLabel) {}

bool MainQueue::isCurrent() const {
    // The main thread belongs to the main queue except while it runs another
    // queue's block (a sync that ran in place on it).
    Queue* q = Queue::current();
    return q == this;
}

// A block never travels inside Qt's event: it waits in blocks_, and Qt carries
// only a wake-up, posted while mutex_ is held. Both hand-overs are ordered by our
// own mutex, which ThreadSanitizer sees, where Qt's event queue alone would hand
// the block over through locks it cannot follow.
void MainQueue::async(Block block) {
    if (!block) return;
    const bool withApplication = QCoreApplication::instance() != nullptr;
    if (withApplication && !postRoutineAdded_.exchange(true)) {
        // Posted events die with their application; a later one must post
        // wake-ups again for the blocks they stood for.
        qAddPostRoutine(&MainQueue::forgetWakeUps);
    }
    std::lock_guard lock(mutex_);
    blocks_.push_back(std::move(block));
    if (withApplication) wakeForWaitingBlocks();
}

void MainQueue::wakeForWaitingBlocks() {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return;
    // Blocks queued before the application existed get theirs now, ahead of
    // the newest one's.
    // The wake-up captures nothing: Qt hands its closure to the main thread
    // through locks ThreadSanitizer cannot follow, so the closure must hold
    // nothing that is read before wokenUp() takes mutex_.
    while (pendingWakeUps_ < blocks_.size()) {
        ++pendingWakeUps_;
        QMetaObject::invokeMethod(app, [] { static_cast<MainQueue*>(Queue::main().get())->wokenUp(); },
                                  Qt::QueuedConnection);
    }
}

void MainQueue::forgetWakeUps() {
    auto* q = static_cast<MainQueue*>(Queue::main().get());
    std::lock_guard lock(q->mutex_);
    q->pendingWakeUps_ = 0;
    q->postRoutineAdded_ = false;
}

void MainQueue::wokenUp() {
    {
        std::lock_guard lock(mutex_);
        if (pendingWakeUps_ > 0) --pendingWakeUps_;
    }
    // A wake-up whose block runUntilIdle() already ran finds the next one or
    // none; the order of blocks is the list's either way.
    runNext();
}

bool MainQueue::runNext() {
    Block block;
    {
        std::lock_guard lock(mutex_);
        if (blocks_.empty()) return false;
        block = std::move(blocks_.front());
        blocks_.pop_front();
    }
    ++ran_;
    perform(block);
    return true;
}

int MainQueue::runUntilIdle() {
    if (!foundation::isMainThread()) return 0;
    auto* q = static_cast<MainQueue*>(Queue::main().get());
    const long long before = q->ran_;
    do {
        // Qt's events and the blocks' wake-ups in the order they were posted;
        // what is left after them has no wake-up delivered yet (queued before
        // the application, or submitted during the delivery).
        if (QCoreApplication::instance()) QCoreApplication::sendPostedEvents();
    } while (q->runNext());
    return static_cast<int>(q->ran_ - before);
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
