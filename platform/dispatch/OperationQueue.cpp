#include "OperationQueue.h"

#include <algorithm>

namespace dispatch {

namespace {
thread_local OperationQueue* tCurrent = nullptr;
}

std::shared_ptr<OperationQueue> OperationQueue::create(std::string name, int maxConcurrentOperationCount) {
    return std::shared_ptr<OperationQueue>(new OperationQueue(std::move(name), maxConcurrentOperationCount));
}

OperationQueue::OperationQueue(std::string name, int maxConcurrentOperationCount)
    : name_(std::move(name)), maxConcurrent_(maxConcurrentOperationCount) {}

OperationQueue* OperationQueue::current() { return tCurrent; }

std::string OperationQueue::name() const {
    std::lock_guard lock(mutex_);
    return name_;
}

void OperationQueue::setName(std::string name) {
    std::lock_guard lock(mutex_);
    name_ = std::move(name);
}

int OperationQueue::maxConcurrentOperationCount() const {
    std::lock_guard lock(mutex_);
    return maxConcurrent_;
}

void OperationQueue::setMaxConcurrentOperationCount(int count) {
    {
        std::lock_guard lock(mutex_);
        maxConcurrent_ = count;
    }
    startWaiting();
}

void OperationQueue::addOperation(std::shared_ptr<Operation> operation) {
    if (!operation || operation->isExecuting() || operation->isFinished()) return;
    {
        std::lock_guard lock(mutex_);
        auto same = [&](const std::shared_ptr<Operation>& o) { return o == operation; };
        if (std::any_of(waiting_.begin(), waiting_.end(), same) || std::any_of(running_.begin(), running_.end(), same))
            return;
        waiting_.push_back(std::move(operation));
    }
    startWaiting();
}

std::shared_ptr<Operation> OperationQueue::addOperation(Block block) {
    auto operation = BlockOperation::create(std::move(block));
    addOperation(operation);
    return operation;
}

void OperationQueue::cancelAllOperations() {
    std::vector<std::shared_ptr<Operation>> all;
    {
        std::lock_guard lock(mutex_);
        all.assign(waiting_.begin(), waiting_.end());
        all.insert(all.end(), running_.begin(), running_.end());
    }
    for (auto& operation : all) operation->cancel();
}

size_t OperationQueue::operationCount() const {
    std::lock_guard lock(mutex_);
    return waiting_.size() + running_.size();
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
    std::unique_lock lock(mutex_);
    emptied_.wait(lock, [this] { return waiting_.empty() && running_.empty(); });
}

void OperationQueue::startWaiting() {
    std::vector<std::shared_ptr<Operation>> starting;
    {
        std::lock_guard lock(mutex_);
        while (!waiting_.empty() && (maxConcurrent_ < 0 || running_.size() < size_t(maxConcurrent_))) {
            running_.push_back(waiting_.front());
            starting.push_back(std::move(waiting_.front()));
            waiting_.pop_front();
        }
    }
    for (auto& operation : starting) {
        // Both hold the queue, so it lives while it has work.
        operation->whenFinished([self = shared_from_this(), op = operation.get()] { self->operationFinished(op); });
        Queue::global()->async([self = shared_from_this(), operation] {
            OperationQueue* saved = tCurrent;
            tCurrent = self.get();
            operation->start();
            tCurrent = saved;
        });
    }
}

void OperationQueue::operationFinished(const Operation* operation) {
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(running_.begin(), running_.end(), [&](const auto& o) { return o.get() == operation; });
        if (it != running_.end()) running_.erase(it);
        if (waiting_.empty() && running_.empty()) emptied_.notify_all();
    }
    startWaiting();
}

}  // namespace dispatch
