#include "PushChannel.h"

#include <fcntl.h>
#include <unistd.h>

#include "Container.h"
#include "PostgresListener.h"
#include "SQLiteSession.h"
#include "ZoneServer.h"
#include "platform/dispatch/FileWatchSource.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/TimerSource.h"

namespace cloud {

PushChannel::PushChannel(std::weak_ptr<Container> container)
    : container_(std::move(container)), queue_(dispatch::Queue::createSerial("com.tavlo.cloud.push")) {}

PushChannel::~PushChannel() {
    if (watch_) watch_->cancel();
    if (timer_) timer_->cancel();
    if (listener_) listener_->remove(listenerToken_);
}

void PushChannel::registerForRemoteNotifications(Registered registered, PushHandler onPush) {
    auto owner = container_.lock();
    const std::string token = owner ? owner->deviceIdentifier() : std::string();
    const double interval = owner ? owner->configuration().pushCheckInterval : Configuration::kDefaultPushCheckInterval;
    {
        std::lock_guard lock(mutex_);
        onPush_ = std::move(onPush);
        if (!timer_) {
            timer_ = dispatch::TimerSource::create(queue_);
            std::weak_ptr<PushChannel> weak = weak_from_this();
            timer_->setHandler([weak] {
                if (auto self = weak.lock()) {
                    self->arm();
                    self->check();
                }
            });
            timer_->setTimer(interval, interval);
            timer_->resume();
        }
    }
    if (registered) dispatch::Queue::main()->async([registered, token] { registered(token); });
    std::weak_ptr<PushChannel> weak = weak_from_this();
    // The catch-up check: changes made while this device was away.
    queue_->async([weak] {
        if (auto self = weak.lock()) {
            self->arm();
            self->check();
        }
    });
}

void PushChannel::unregister() {
    std::lock_guard lock(mutex_);
    onPush_ = nullptr;
    if (watch_) watch_->cancel();
    watch_.reset();
    if (timer_) timer_->cancel();
    timer_.reset();
    if (listener_) listener_->remove(listenerToken_);
    listener_.reset();
}

void PushChannel::checkNow() {
    std::weak_ptr<PushChannel> weak = weak_from_this();
    queue_->async([weak] {
        if (auto self = weak.lock()) self->check();
    });
}

// On the channel's queue. Watches the store's folder for the "push" file a
// writer renames into it after each commit; an overflow of the kernel's queue
// may have hidden one, so it checks then too.
void PushChannel::arm() {
    auto owner = container_.lock();
    if (!owner) return;
    const Configuration configuration = owner->configuration();
    if (configuration.account.empty()) return;
    if (configuration.backend == Configuration::kPostgreSQLBackend) return armListener(configuration);
    if (configuration.backend != Configuration::kEmbeddedBackend) return;
    {
        std::lock_guard lock(mutex_);
        if (!onPush_ || (watch_ && !watch_->isCancelled())) return;
    }
    const int fd = ::open(configuration.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;  // the periodic check tries again
    auto watch = dispatch::FileWatchSource::createForFolder(
        fd, dispatch::FileWatchSource::Entries | dispatch::FileWatchSource::Overflow | dispatch::FileWatchSource::Rename,
        queue_);
    ::close(fd);
    if (!watch) return;
    std::weak_ptr<PushChannel> weak = weak_from_this();
    watch->setHandler([weak](unsigned events, const std::set<std::string>& names) {
        auto self = weak.lock();
        if (!self) return;
        if (events & dispatch::FileWatchSource::Rename) {
            // The folder itself moved away: watch whatever holds its name now.
            {
                std::lock_guard lock(self->mutex_);
                if (self->watch_) self->watch_->cancel();
                self->watch_.reset();
            }
            self->arm();
        }
        if ((events & (dispatch::FileWatchSource::Overflow | dispatch::FileWatchSource::Rename)) ||
            names.count(SQLiteSession::kPushFileName))
            self->wake();
    });
    watch->resume();
    std::lock_guard lock(mutex_);
    watch_ = std::move(watch);
}

// On the channel's queue: listens through the process's one LISTEN
// connection for this account's database.
void PushChannel::armListener(const Configuration& configuration) {
    {
        std::lock_guard lock(mutex_);
        if (!onPush_ || listener_) return;
    }
    auto listener = PostgresListener::forConnection(configuration.connection);
    std::weak_ptr<PushChannel> weak = weak_from_this();
    const uint64_t token = listener->add([weak] {
        if (auto self = weak.lock()) self->wake();
    });
    std::lock_guard lock(mutex_);
    listener_ = std::move(listener);
    listenerToken_ = token;
}

void PushChannel::wake() {
    if (checkWaiting_.exchange(true)) return;
    std::weak_ptr<PushChannel> weak = weak_from_this();
    queue_->async([weak] {
        auto self = weak.lock();
        if (!self) return;
        self->checkWaiting_ = false;
        self->check();
    });
}

void PushChannel::check() {
    auto owner = container_.lock();
    if (!owner) return;
    {
        std::lock_guard lock(mutex_);
        if (!onPush_) return;
    }
    ++checks_;
    auto take = [&owner]() -> Reply<bool> {
        auto server = owner->server();
        if (!server) return server.error();
        auto push = server.value()->takePush();
        if (!push) owner->storeFailed(push.error());
        return push;
    };
    auto push = take();
    // A store connection lost since the last call: once more over a new one,
    // so a check right after the server came back is not wasted.
    if (!push && (push.error().code == Error::kNetworkFailure || push.error().code == Error::kNetworkUnavailable))
        push = take();
    if (!push) return;
    if (!push.value()) return;
    std::weak_ptr<PushChannel> weak = weak_from_this();
    dispatch::Queue::main()->async([weak] {
        auto self = weak.lock();
        if (!self) return;
        PushHandler handler;
        {
            std::lock_guard lock(self->mutex_);
            handler = self->onPush_;
        }
        foundation::PlistValue::Dictionary aps{{"content-available", foundation::PlistValue(int64_t{1})}};
        if (handler) handler({{"aps", foundation::PlistValue(aps)}});
    });
}

}  // namespace cloud
