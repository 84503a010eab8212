#include "MainQueue.h"

#include <QCoreApplication>
#include <QMetaObject>

#include "GlobalQueue.h"
#include "SerialQueue.h"
#include "platform/foundation/ThreadIdentity.h"

namespace dispatch {

namespace {
constexpr const char* kMainLabel = "com.apple.main-thread";
}

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
        QMetaObject::invokeMethod(app, [this, b = std::move(block)] { perform(b); }, Qt::QueuedConnection);
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
