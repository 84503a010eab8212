#pragma once
// Wakes its owner when a commit to the account may have changed something:
// on the embedded back-end the "push" file the writers rename into the
// store's folder (a folder watch, followed when the folder itself is moved
// or the kernel's queue overflowed); on PostgreSQL a notification heard by
// the process's one PostgresListener. A wake says only "look again": the
// owner reads the store to learn what changed. Wakes run on the given queue.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "Configuration.h"

namespace dispatch {
class FileWatchSource;
class Queue;
}  // namespace dispatch

namespace cloud {

class PostgresListener;

class ChangeWatch : public std::enable_shared_from_this<ChangeWatch> {
public:
    // Null when there is nothing to watch yet (no account, a folder that
    // cannot be opened): the owner tries again later.
    static std::shared_ptr<ChangeWatch> start(const Configuration& configuration,
                                              std::shared_ptr<dispatch::Queue> queue, std::function<void()> wake);
    ~ChangeWatch();
    ChangeWatch(const ChangeWatch&) = delete;
    ChangeWatch& operator=(const ChangeWatch&) = delete;

    // No wakes after this returns (one already running may finish).
    void cancel();
    // False once the watched folder went away and could not be found again.
    bool isWatching();

private:
    ChangeWatch(Configuration configuration, std::shared_ptr<dispatch::Queue> queue, std::function<void()> wake);
    bool watchFolder();
    // The wake, or nothing once cancelled.
    std::function<void()> currentWake();

    const Configuration configuration_;
    std::shared_ptr<dispatch::Queue> queue_;
    std::function<void()> wake_;
    std::mutex mutex_;
    bool cancelled_ = false;
    std::shared_ptr<dispatch::FileWatchSource> folderWatch_;
    std::shared_ptr<PostgresListener> listener_;
    uint64_t listenerToken_ = 0;
};

}  // namespace cloud
