#include "FileWatchSource.h"
#include "ThreadSignalStack.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace dispatch {

namespace {

// A kernel watch is shared by every source on one inode, and a second
// inotify_add_watch replaces the first one's mask: every source on a file asks
// for the same events, every source on a folder for the same ones and the names'.
constexpr uint32_t kFileMask = IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF;
constexpr uint32_t kEntryMask = IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE;

}  // namespace

// The process's inotify instance and the thread that reads it. Sources are found
// by id, never by pointer, so an event that races with a cancel finds nothing
// rather than a freed source. Never torn down: a source may be cancelled while
// the process exits.
class FileWatchThread {
public:
    static FileWatchThread& shared() {
        static auto* thread = new FileWatchThread;
        return *thread;
    }

    // Watches the file the source holds open; false when it cannot be watched.
    bool add(const std::shared_ptr<FileWatchSource>& source) {
        std::lock_guard lock(mutex_);
        if (inotifyFd_ < 0) return false;
        // The descriptor's /proc link leads to the very file that is open, even
        // when it has been renamed or unlinked since.
        std::string path = "/proc/self/fd/" + std::to_string(source->fileFd_);
        struct stat st {};
        bool folder = ::fstat(source->fileFd_, &st) == 0 && S_ISDIR(st.st_mode);
        int wd = ::inotify_add_watch(inotifyFd_, path.c_str(), folder ? kFileMask | kEntryMask : kFileMask);
        if (wd < 0) return false;
        uint64_t id = ++nextID_;
        // Two sources on one file share the kernel's watch.
        watches_[wd].push_back(id);
        sources_[id] = Entry{source, wd};
        source->id_ = id;
        if (!started_) {
            started_ = true;
            std::thread([this] {
                installThreadSignalStack();
                run();
            }).detach();
        }
        return true;
    }

    // Stops watching and closes the source's descriptor.
    void remove(uint64_t id, int fileFd) {
        std::lock_guard lock(mutex_);
        auto it = sources_.find(id);
        if (it != sources_.end()) {
            int wd = it->second.wd;
            sources_.erase(it);
            auto& ids = watches_[wd];
            ids.erase(std::remove(ids.begin(), ids.end(), id), ids.end());
            if (ids.empty()) {
                watches_.erase(wd);
                ::inotify_rm_watch(inotifyFd_, wd);
            }
        }
        ::close(fileFd);
    }

private:
    struct Entry {
        std::weak_ptr<FileWatchSource> source;
        int wd;
    };

    FileWatchThread() : inotifyFd_(::inotify_init1(IN_CLOEXEC)) {}

    void run() {
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            ssize_t got = ::read(inotifyFd_, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return;
            std::vector<Seen> seen;
            {
                std::lock_guard lock(mutex_);
                for (ssize_t offset = 0; offset < got;) {
                    const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
                    offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                    collect(*event, seen);
                }
            }
            for (auto& [source, events, name] : seen) source->post(events, name);
            seen.clear();  // last references end here, outside the lock
        }
    }

    struct Seen {
        std::shared_ptr<FileWatchSource> source;
        unsigned events;
        std::string name;
    };

    void collect(const inotify_event& event, std::vector<Seen>& seen) {
        if (event.mask & IN_Q_OVERFLOW) {
            for (auto& [id, entry] : sources_) {
                if (auto source = entry.source.lock()) seen.push_back({std::move(source), FileWatchSource::Overflow, {}});
            }
            return;
        }
        auto watch = watches_.find(event.wd);
        if (watch == watches_.end()) return;  // removed meanwhile
        for (uint64_t id : watch->second) {
            auto entry = sources_.find(id);
            if (entry == sources_.end()) continue;
            auto source = entry->second.source.lock();
            if (!source) continue;
            unsigned events = 0;
            // A folder's events about the names in it carry the name.
            if (event.len > 0 && event.name[0] != '\0') {
                if (event.mask & kEntryMask) seen.push_back({std::move(source), FileWatchSource::Entries, event.name});
                continue;
            }
            if (event.mask & IN_MOVE_SELF) events |= FileWatchSource::Rename;
            if (event.mask & (IN_DELETE_SELF | IN_IGNORED)) events |= FileWatchSource::Delete;
            // An unlinked file that is still open only reports a change of its
            // link count.
            if (event.mask & IN_ATTRIB) {
                struct stat st {};
                if (::fstat(source->fileFd_, &st) == 0 && st.st_nlink == 0) events |= FileWatchSource::Delete;
            }
            if (events) seen.push_back({std::move(source), events, {}});
        }
        // The kernel dropped the watch (the file is gone): nothing more comes.
        if (event.mask & IN_IGNORED) {
            for (uint64_t id : watch->second) sources_.erase(id);
            watches_.erase(watch);
        }
    }

    std::mutex mutex_;
    const int inotifyFd_;
    uint64_t nextID_ = 0;
    bool started_ = false;
    std::map<int, std::vector<uint64_t>> watches_;
    std::map<uint64_t, Entry> sources_;
};

std::shared_ptr<FileWatchSource> FileWatchSource::create(int fd, unsigned mask, std::shared_ptr<Queue> queue) {
    return createForFolder(fd, mask & (Delete | Rename), std::move(queue));
}

std::shared_ptr<FileWatchSource> FileWatchSource::createForFolder(int fd, unsigned mask, std::shared_ptr<Queue> queue) {
    if (fd < 0 || !queue) return nullptr;
    int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own < 0) return nullptr;
    auto source = std::shared_ptr<FileWatchSource>(new FileWatchSource(own, mask, std::move(queue)));
    if (!FileWatchThread::shared().add(source)) {
        source->cancel();
        return nullptr;
    }
    return source;
}

FileWatchSource::FileWatchSource(int fileFd, unsigned mask, std::shared_ptr<Queue> queue)
    : fileFd_(fileFd), mask_(mask), queue_(std::move(queue)) {}

FileWatchSource::~FileWatchSource() {
    if (!cancelled_) FileWatchThread::shared().remove(id_, fileFd_);
}

void FileWatchSource::setHandler(Handler handler) {
    if (!handler) return setHandler(FolderHandler());
    setHandler([handler = std::move(handler)](unsigned events, const std::set<std::string>&) { handler(events); });
}

void FileWatchSource::setHandler(FolderHandler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::make_shared<FolderHandler>(std::move(handler));
}

void FileWatchSource::setCancelHandler(Block handler) {
    std::lock_guard lock(mutex_);
    cancelHandler_ = std::move(handler);
}

void FileWatchSource::resume() {
    {
        std::lock_guard lock(mutex_);
        if (cancelled_ || resumed_) return;
        resumed_ = true;
    }
    // An unlink between opening the file and starting the watch left no event.
    struct stat st {};
    if (::fstat(fileFd_, &st) == 0 && st.st_nlink == 0) post(Delete);
}

void FileWatchSource::cancel() {
    Block cancelHandler;
    uint64_t id;
    {
        std::lock_guard lock(mutex_);
        if (cancelled_) return;
        cancelled_ = true;
        handler_.reset();
        cancelHandler = std::move(cancelHandler_);
        id = id_;
    }
    FileWatchThread::shared().remove(id, fileFd_);
    if (cancelHandler) queue_->async(std::move(cancelHandler));
}

bool FileWatchSource::isCancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
}

void FileWatchSource::post(unsigned events, const std::string& name) {
    std::lock_guard lock(mutex_);
    events &= mask_;
    if (!events || cancelled_ || !resumed_) return;
    bool scheduled = pending_ != 0;
    pending_ |= events;
    if (!name.empty()) pendingNames_.insert(name);
    if (scheduled) return;
    std::weak_ptr<FileWatchSource> weak = weak_from_this();
    queue_->async([weak] {
        if (auto self = weak.lock()) self->deliver();
    });
}

void FileWatchSource::deliver() {
    std::shared_ptr<FolderHandler> handler;
    unsigned events;
    std::set<std::string> names;
    {
        std::lock_guard lock(mutex_);
        if (cancelled_) return;
        events = pending_;
        pending_ = 0;
        names.swap(pendingNames_);
        handler = handler_;
    }
    if (events && handler && *handler) (*handler)(events, names);
}

}  // namespace dispatch
