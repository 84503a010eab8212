#include "Operation.h"

#include <chrono>

namespace dispatch {

Operation::~Operation() = default;

void Operation::start() {
    if (!markExecuting()) return;
    if (!isCancelled()) main();
    markFinished();
}

bool Operation::markExecuting() {
    std::lock_guard lock(mutex_);
    if (started_ || finished_) return false;
    started_ = true;
    executing_ = true;
    return true;
}

void Operation::markFinished() {
    std::vector<Block> observers;
    {
        std::lock_guard lock(mutex_);
        if (finished_) return;
        started_ = true;
        executing_ = false;
        finished_ = true;
        observers.swap(finishObservers_);
        finishedChanged_.notify_all();
    }
    for (Block& block : observers) block();
}

void Operation::cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
}

bool Operation::isCancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
}

bool Operation::isExecuting() const {
    std::lock_guard lock(mutex_);
    return executing_;
}

bool Operation::isFinished() const {
    std::lock_guard lock(mutex_);
    return finished_;
}

void Operation::whenFinished(Block block) {
    {
        std::lock_guard lock(mutex_);
        if (!finished_) {
            finishObservers_.push_back(std::move(block));
            return;
        }
    }
    block();
}

bool Operation::waitUntilFinished(double timeoutSeconds) {
    std::unique_lock lock(mutex_);
    auto done = [this] { return finished_; };
    if (timeoutSeconds < 0) {
        finishedChanged_.wait(lock, done);
        return true;
    }
    return finishedChanged_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds), done);
}

std::shared_ptr<BlockOperation> BlockOperation::create(Work work) {
    return std::make_shared<BlockOperation>(std::move(work));
}

std::shared_ptr<BlockOperation> BlockOperation::create(Block block) {
    return create([block = std::move(block)](const Operation&) { block(); });
}

void BlockOperation::main() {
    if (work_) work_(*this);
    work_ = nullptr;  // what the block holds goes with it
}

}  // namespace dispatch
