#pragma once
// Watches one open file for being deleted or renamed (moved to another name or
// folder) and submits a handler to a queue when it is. Created suspended;
// resume() starts it, cancel() stops it for good. After cancel() returns, no
// handler that has not yet started runs; handlers and the cancel handler run on
// the target queue. Any thread may call the methods.
//
// Built on one process-wide inotify instance, read by one thread that only hands
// the events on; sources add and remove watches on it (closing an inotify
// instance waits for the kernel's grace period, tens of milliseconds, which a
// logger rolling its file must not pay). The source keeps its own duplicate of
// the descriptor, so it still refers to the file that was opened when the file
// is renamed or unlinked, and an unlink shows even while the file stays open.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "Queue.h"

namespace dispatch {

class FileWatchSource : public std::enable_shared_from_this<FileWatchSource> {
public:
    enum Event : unsigned {
        Delete = 1,  // the file's last name was removed
        Rename = 2,  // the file was moved to another name
    };
    using Handler = std::function<void(unsigned events)>;

    // Watches the file open on fd for the events in mask. Answers null when the
    // descriptor cannot be watched (bad descriptor, no inotify).
    static std::shared_ptr<FileWatchSource> create(int fd, unsigned mask, std::shared_ptr<Queue> queue);
    ~FileWatchSource();
    FileWatchSource(const FileWatchSource&) = delete;
    FileWatchSource& operator=(const FileWatchSource&) = delete;

    // The handler gets the events seen since it last ran.
    void setHandler(Handler handler);
    void setCancelHandler(Block handler);
    void resume();
    void cancel();
    bool isCancelled() const;

private:
    friend class FileWatchThread;
    FileWatchSource(int fileFd, unsigned mask, std::shared_ptr<Queue> queue);
    // Called on the watch thread with the events it read.
    void post(unsigned events);
    void deliver();

    mutable std::mutex mutex_;
    const int fileFd_;
    const unsigned mask_;
    std::shared_ptr<Queue> queue_;
    std::shared_ptr<Handler> handler_;
    Block cancelHandler_;
    unsigned pending_ = 0;
    bool resumed_ = false;
    bool cancelled_ = false;
    uint64_t id_ = 0;
};

}  // namespace dispatch
