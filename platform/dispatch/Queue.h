#pragma once
// Queues that run blocks: serial queues with their own worker, the shared global
// queues by priority, and the main queue (Qt's event loop in an application, a
// run loop that tests pump otherwise). Any thread may submit to any queue.

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace dispatch {

using Block = std::function<void()>;

enum class Priority { High, Default, Low, Background };

class Queue : public std::enable_shared_from_this<Queue> {
public:
    virtual ~Queue();
    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;

    // A new serial queue: blocks run one at a time, in the order submitted.
    static std::shared_ptr<Queue> createSerial(std::string label = {});
    static std::shared_ptr<Queue> main();
    static std::shared_ptr<Queue> global(Priority priority = Priority::Default);
    // The queue running the calling code: the main queue on the main thread
    // outside any other queue's block, null on a thread we do not manage.
    static Queue* current();

    const std::string& label() const { return *label_; }
    // The label shared, for records that may outlive the queue.
    const std::shared_ptr<const std::string>& sharedLabel() const { return label_; }

    virtual void async(Block block) = 0;
    // Runs the block on this queue and returns once it has run. A caller that is
    // already running on this queue would wait for itself forever: the block then
    // runs at once, in place, and sync() answers false.
    bool sync(const Block& block);
    // Runs the block on the calling thread, as this queue's block: waits until
    // every block submitted before has run, holds the queue while the block
    // runs, then lets it go on. For work that must happen on its caller's
    // thread yet in the queue's order. A caller already on this queue runs the
    // block at once.
    void syncInPlace(const Block& block);
    virtual bool isCurrent() const;

    // Values attached to the queue under a key, readable from code running on it.
    void setSpecific(const void* key, const void* value);
    const void* specific(const void* key) const;

protected:
    explicit Queue(std::string label);
    // sync() first offers the block here: a queue that can run it at once on the
    // calling thread (nothing else running or waiting on it) does so and answers
    // true, saving two thread hand-overs.
    virtual bool runInlineIfIdle(const Block& block) { (void)block; return false; }
    // Runs one block with this queue recorded as the current one.
    void perform(const Block& block);

private:
    std::shared_ptr<const std::string> label_;
    mutable std::mutex specificsMutex_;
    std::map<const void*, const void*> specifics_;
};

// The label of the current queue, empty when there is none.
std::string currentQueueLabel();
// The current queue's label shared (null when there is no current queue).
std::shared_ptr<const std::string> currentQueueSharedLabel();
// The value for key on the current queue, or null.
const void* getSpecific(const void* key);
// Submits block to queue after the delay, on the clock of Clock.h.
void after(double seconds, std::shared_ptr<Queue> queue, Block block);

}  // namespace dispatch
