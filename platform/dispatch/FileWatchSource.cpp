#include "FileWatchSource.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <string>
#include <thread>

namespace dispatch {

// The one thread that waits on every source's inotify descriptor. Sources are
// found by id, never by pointer, so an event that races with a cancel finds
// nothing rather than a freed source. Never torn down: a source may be
// cancelled while the process exits.
class FileWatchThread {
public:
    static FileWatchThread& shared() {
        static auto* thread = new FileWatchThread;
        return *thread;
    }

    bool add(const std::shared_ptr<FileWatchSource>& source) {
        std::lock_guard lock(mutex_);
        if (epollFd_ < 0) return false;
        uint64_t id = ++nextID_;
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = id;
        if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, source->inotifyFd_, &event) != 0) return false;
        sources_[id] = source;
        source->id_ = id;
        if (!started_) {
            started_ = true;
            std::thread([this] { run(); }).detach();
        }
        return true;
    }

    // Stops watching and closes the source's descriptors while no event is being
    // read from them, so a reused descriptor number is never read by mistake.
    void remove(uint64_t id, int inotifyFd, int fileFd) {
        std::lock_guard lock(mutex_);
        if (id) {
            ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, inotifyFd, nullptr);
            sources_.erase(id);
        }
        ::close(inotifyFd);
        ::close(fileFd);
    }

private:
    FileWatchThread() : epollFd_(::epoll_create1(EPOLL_CLOEXEC)) {}

    void run() {
        epoll_event events[16];
        for (;;) {
            int n = ::epoll_wait(epollFd_, events, 16, -1);
            if (n < 0) {
                if (errno == EINTR) continue;
                return;
            }
            for (int i = 0; i < n; ++i) {
                std::shared_ptr<FileWatchSource> source;
                unsigned seen = 0;
                {
                    std::lock_guard lock(mutex_);
                    auto it = sources_.find(events[i].data.u64);
                    if (it == sources_.end()) continue;
                    source = it->second.lock();
                    if (!source) continue;
                    seen = readEvents(*source);
                }
                if (seen) source->post(seen);
                source.reset();  // a last reference ends here, outside the lock
            }
        }
    }

    static unsigned readEvents(const FileWatchSource& source) {
        alignas(inotify_event) char buffer[4096];
        unsigned seen = 0;
        for (;;) {
            ssize_t got = ::read(source.inotifyFd_, buffer, sizeof buffer);
            if (got <= 0) break;
            for (ssize_t offset = 0; offset < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
                if (event->mask & IN_MOVE_SELF) seen |= FileWatchSource::Rename;
                if (event->mask & (IN_DELETE_SELF | IN_IGNORED)) seen |= FileWatchSource::Delete;
                // An unlinked file that is still open only reports a change of
                // its link count.
                if (event->mask & IN_ATTRIB) {
                    struct stat st {};
                    if (::fstat(source.fileFd_, &st) == 0 && st.st_nlink == 0) seen |= FileWatchSource::Delete;
                }
                offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return seen;
    }

    std::mutex mutex_;
    const int epollFd_;
    uint64_t nextID_ = 0;
    bool started_ = false;
    std::map<uint64_t, std::weak_ptr<FileWatchSource>> sources_;
};

std::shared_ptr<FileWatchSource> FileWatchSource::create(int fd, unsigned mask, std::shared_ptr<Queue> queue) {
    if (fd < 0 || !queue) return nullptr;
    int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own < 0) return nullptr;
    int inotifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotifyFd < 0) {
        ::close(own);
        return nullptr;
    }
    // The descriptor's /proc link leads to the very file that is open, even when
    // it has been renamed or unlinked since.
    std::string path = "/proc/self/fd/" + std::to_string(own);
    if (::inotify_add_watch(inotifyFd, path.c_str(), IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF) < 0) {
        ::close(inotifyFd);
        ::close(own);
        return nullptr;
    }
    auto source = std::shared_ptr<FileWatchSource>(new FileWatchSource(inotifyFd, own, mask, std::move(queue)));
    if (!FileWatchThread::shared().add(source)) {
        source->cancel();
        return nullptr;
    }
    return source;
}

FileWatchSource::FileWatchSource(int inotifyFd, int fileFd, unsigned mask, std::shared_ptr<Queue> queue)
    : inotifyFd_(inotifyFd), fileFd_(fileFd), mask_(mask), queue_(std::move(queue)) {}

FileWatchSource::~FileWatchSource() {
    if (!cancelled_) FileWatchThread::shared().remove(id_, inotifyFd_, fileFd_);
}

void FileWatchSource::setHandler(Handler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::make_shared<Handler>(std::move(handler));
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
    FileWatchThread::shared().remove(id, inotifyFd_, fileFd_);
    if (cancelHandler) queue_->async(std::move(cancelHandler));
}

bool FileWatchSource::isCancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
}

void FileWatchSource::post(unsigned events) {
    std::lock_guard lock(mutex_);
    events &= mask_;
    if (!events || cancelled_ || !resumed_) return;
    bool scheduled = pending_ != 0;
    pending_ |= events;
    if (scheduled) return;
    std::weak_ptr<FileWatchSource> weak = weak_from_this();
    queue_->async([weak] {
        if (auto self = weak.lock()) self->deliver();
    });
}

void FileWatchSource::deliver() {
    std::shared_ptr<Handler> handler;
    unsigned events;
    {
        std::lock_guard lock(mutex_);
        if (cancelled_) return;
        events = pending_;
        pending_ = 0;
        handler = handler_;
    }
    if (events && handler && *handler) (*handler)(events);
}

}  // namespace dispatch
