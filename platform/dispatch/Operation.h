#pragma once
// A unit of work with a life: ready, then executing, then finished, and a
// cancelled flag its work may look at. Run directly with start(), or added to
// an OperationQueue. An asynchronous operation overrides start(), returns
// before its work is done and calls markFinished() once it is. Any thread.

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "Queue.h"

namespace dispatch {

class Operation : public std::enable_shared_from_this<Operation> {
public:
    Operation() = default;
    virtual ~Operation();
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;

    // Runs main() on the calling thread, then the operation is finished; a
    // cancelled operation finishes without running it. Later calls do nothing.
    virtual void start();
    // The work; the base has none.
    virtual void main() {}

    // One not yet started will finish without its work; a running one goes on,
    // and its work may look at isCancelled() and end early.
    void cancel();
    bool isCancelled() const;
    bool isExecuting() const;
    bool isFinished() const;
    // True when start() returns before the work is done.
    virtual bool isAsynchronous() const { return false; }

    // block runs once the operation has finished, on the thread that finished it
    // (at once, on the calling thread, when it already has).
    void whenFinished(Block block);
    // Waits until the operation has finished; a negative timeout waits for ever.
    // Returns false when the time ran out first.
    bool waitUntilFinished(double timeoutSeconds = -1);

protected:
    // For start() overrides. markExecuting answers false when the operation was
    // already started (or finished); markFinished ends it once.
    bool markExecuting();
    void markFinished();

private:
    mutable std::mutex mutex_;
    std::condition_variable finishedChanged_;
    bool started_ = false;
    bool executing_ = false;
    bool finished_ = false;
    bool cancelled_ = false;
    std::vector<Block> finishObservers_;
};

// An operation whose work is a block; the block is handed the operation, so it
// can see a cancel that arrives while it runs.
class BlockOperation final : public Operation {
public:
    using Work = std::function<void(const Operation&)>;
    static std::shared_ptr<BlockOperation> create(Work work);
    static std::shared_ptr<BlockOperation> create(Block block);
    explicit BlockOperation(Work work) : work_(std::move(work)) {}

    void main() override;

private:
    Work work_;
};

}  // namespace dispatch
