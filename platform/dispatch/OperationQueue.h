#pragma once
// Runs operations on the global queues, in the order added, at most
// maxConcurrentOperationCount at a time (one at a time makes it serial; an
// asynchronous operation holds its place until it has finished). A queue
// keeps itself alive while it has operations. Any thread.

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Operation.h"
#include "Queue.h"

namespace dispatch {

class OperationQueue : public std::enable_shared_from_this<OperationQueue> {
public:
    // As many at a time as the global queues run.
    static constexpr int kDefaultMaxConcurrentOperationCount = -1;

    static std::shared_ptr<OperationQueue> create(std::string name = {},
                                                  int maxConcurrentOperationCount = kDefaultMaxConcurrentOperationCount);
    // The queue whose operation the calling thread is starting, else null.
    static OperationQueue* current();

    OperationQueue(const OperationQueue&) = delete;
    OperationQueue& operator=(const OperationQueue&) = delete;

    std::string name() const;
    void setName(std::string name);
    int maxConcurrentOperationCount() const;
    void setMaxConcurrentOperationCount(int count);

    // An operation already added to a queue, started or finished is not added.
    void addOperation(std::shared_ptr<Operation> operation);
    std::shared_ptr<Operation> addOperation(Block block);
    // Cancels every operation waiting or running here.
    void cancelAllOperations();
    // Operations waiting or running.
    size_t operationCount() const;
    void waitUntilAllOperationsAreFinished();

private:
    OperationQueue(std::string name, int maxConcurrentOperationCount);
    void startWaiting();
    void operationFinished(const Operation* operation);

    mutable std::mutex mutex_;
    std::condition_variable emptied_;
    std::string name_;
    int maxConcurrent_;
    std::deque<std::shared_ptr<Operation>> waiting_;
    std::vector<std::shared_ptr<Operation>> running_;
};

}  // namespace dispatch
