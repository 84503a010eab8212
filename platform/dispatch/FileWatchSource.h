#pragma once
// Watches one open file for being deleted or renamed (moved to another name or
// folder), or one open folder for the names in it changing as well, and submits
// a handler to a queue when they do. Created suspended;
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
#include <set>
#include <string>

#include "Queue.h"

namespace dispatch {

class FileWatchSource : public std::enable_shared_from_this<FileWatchSource> {
public:
    enum Event : unsigned {
        Delete = 1,  // the file's last name was removed
        Rename = 2,  // the file was moved to another name
        // Folders only: a name in the folder was created, written and closed,
        // moved in or out, or removed; the handler gets the names.
        Entries = 4,
        // Folders only: the kernel's queue overflowed and events were lost;
        // anything in the folder may have changed.
        Overflow = 8,
    };
    using Handler = std::function<void(unsigned events)>;
    using FolderHandler = std::function<void(unsigned events, const std::set<std::string>& names)>;

    // Watches the file open on fd for the events in mask. Answers null when the
    // descriptor cannot be watched (bad descriptor, no inotify).
    static std::shared_ptr<FileWatchSource> create(int fd, unsigned mask, std::shared_ptr<Queue> queue);
    // Watches the folder open on fd (a file whose name is replaced by a rename
    // shows as that name moved in). The folder itself reports Rename; its
    // removal does not show, as the source holds it open. Answers null when it
    // cannot be watched.
    static std::shared_ptr<FileWatchSource> createForFolder(int fd, unsigned mask, std::shared_ptr<Queue> queue);
    ~FileWatchSource();
    FileWatchSource(const FileWatchSource&) = delete;
    FileWatchSource& operator=(const FileWatchSource&) = delete;

    // The handler gets the events seen since it last ran (and, for a folder,
    // the names those events were about).
    void setHandler(Handler handler);
    void setHandler(FolderHandler handler);
    void setCancelHandler(Block handler);
    void resume();
    void cancel();
    bool isCancelled() const;

private:
    friend class FileWatchThread;
    FileWatchSource(int fileFd, unsigned mask, std::shared_ptr<Queue> queue);
    // Called on the watch thread with the events it read.
    void post(unsigned events, const std::string& name = {});
    void deliver();

    mutable std::mutex mutex_;
    const int fileFd_;
    const unsigned mask_;
    std::shared_ptr<Queue> queue_;
    std::shared_ptr<FolderHandler> handler_;
    Block cancelHandler_;
    unsigned pending_ = 0;
    std::set<std::string> pendingNames_;
    bool resumed_ = false;
    bool cancelled_ = false;
    uint64_t id_ = 0;
};

}  // namespace dispatch
