#include "ChangeWatch.h"

#include <fcntl.h>
#include <unistd.h>

#include "PostgresListener.h"
#include "SQLiteSession.h"
#include "platform/dispatch/FileWatchSource.h"
#include "platform/dispatch/Queue.h"

namespace cloud {

std::shared_ptr<ChangeWatch> ChangeWatch::start(const Configuration& configuration,
                                                std::shared_ptr<dispatch::Queue> queue, std::function<void()> wake) {
    if (configuration.account.empty()) return nullptr;
    std::shared_ptr<ChangeWatch> watch(new ChangeWatch(configuration, std::move(queue), std::move(wake)));
    if (configuration.backend == Configuration::kPostgreSQLBackend) {
        watch->listener_ = PostgresListener::forConnection(configuration.connection);
        std::weak_ptr<ChangeWatch> weak = watch;
        watch->listenerToken_ = watch->listener_->add([weak] {
            auto self = weak.lock();
            if (!self) return;
            self->queue_->async([weak] {
                auto self = weak.lock();
                if (!self) return;
                if (auto wake = self->currentWake()) wake();
            });
        });
        return watch;
    }
    if (configuration.backend != Configuration::kEmbeddedBackend || !watch->watchFolder()) return nullptr;
    return watch;
}

ChangeWatch::ChangeWatch(Configuration configuration, std::shared_ptr<dispatch::Queue> queue,
                         std::function<void()> wake)
    : configuration_(std::move(configuration)), queue_(std::move(queue)), wake_(std::move(wake)) {}

ChangeWatch::~ChangeWatch() { cancel(); }

void ChangeWatch::cancel() {
    std::shared_ptr<dispatch::FileWatchSource> folderWatch;
    {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
        folderWatch = std::move(folderWatch_);
    }
    if (folderWatch) folderWatch->cancel();
    if (listener_) listener_->remove(listenerToken_);
}

std::function<void()> ChangeWatch::currentWake() {
    std::lock_guard lock(mutex_);
    return cancelled_ ? std::function<void()>() : wake_;
}

bool ChangeWatch::isWatching() {
    std::lock_guard lock(mutex_);
    return !cancelled_ && (listener_ || folderWatch_);
}

// Watches the store's folder for the "push" file a writer renames into it
// after each commit; an overflow of the kernel's queue may have hidden one,
// so it wakes then too.
bool ChangeWatch::watchFolder() {
    const int fd = ::open(configuration_.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    auto watch = dispatch::FileWatchSource::createForFolder(
        fd, dispatch::FileWatchSource::Entries | dispatch::FileWatchSource::Overflow | dispatch::FileWatchSource::Rename,
        queue_);
    ::close(fd);
    if (!watch) return false;
    std::weak_ptr<ChangeWatch> weak = weak_from_this();
    watch->setHandler([weak](unsigned events, const std::set<std::string>& names) {
        auto self = weak.lock();
        if (!self) return;
        auto wake = self->currentWake();
        if (!wake) return;
        if (events & dispatch::FileWatchSource::Rename) {
            // The folder itself moved away: watch whatever holds its name now.
            std::shared_ptr<dispatch::FileWatchSource> old;
            {
                std::lock_guard lock(self->mutex_);
                old = std::move(self->folderWatch_);
            }
            if (old) old->cancel();
            self->watchFolder();
        }
        if ((events & (dispatch::FileWatchSource::Overflow | dispatch::FileWatchSource::Rename)) ||
            names.count(SQLiteSession::kPushFileName))
            wake();
    });
    watch->resume();
    std::lock_guard lock(mutex_);
    if (cancelled_) {
        watch->cancel();
        return true;
    }
    folderWatch_ = std::move(watch);
    return true;
}

}  // namespace cloud
