#include "PushChannel.h"

#include "Container.h"
#include "ChangeWatch.h"
#include "ZoneServer.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/TimerSource.h"

namespace cloud {

PushChannel::PushChannel(std::weak_ptr<Container> container)
    : container_(std::move(container)), queue_(dispatch::Queue::createSerial("com.tavlo.cloud.push")) {}

PushChannel::~PushChannel() {
    if (watch_) watch_->cancel();
    if (timer_) timer_->cancel();
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
}

void PushChannel::checkNow() {
    std::weak_ptr<PushChannel> weak = weak_from_this();
    queue_->async([weak] {
        if (auto self = weak.lock()) self->check();
    });
}

void PushChannel::accountDidMove() {
    std::shared_ptr<ChangeWatch> old;
    {
        std::lock_guard lock(mutex_);
        old = std::move(watch_);
    }
    if (old) old->cancel();
    std::weak_ptr<PushChannel> weak = weak_from_this();
    queue_->async([weak] {
        auto self = weak.lock();
        if (!self) return;
        // The check opens the new store, which makes its folder, so there is
        // a folder to watch; the second one takes what came in between.
        self->check();
        self->arm();
        self->check();
    });
}

// On the channel's queue: wakes from commits of other devices, made again
// by the periodic check when the folder could not be watched.
void PushChannel::arm() {
    auto owner = container_.lock();
    if (!owner) return;
    {
        std::lock_guard lock(mutex_);
        if (!onPush_ || (watch_ && watch_->isWatching())) return;
    }
    std::weak_ptr<PushChannel> weak = weak_from_this();
    auto watch = ChangeWatch::start(owner->configuration(), queue_, [weak] {
        if (auto self = weak.lock()) self->wake();
    });
    std::shared_ptr<ChangeWatch> old;
    {
        std::lock_guard lock(mutex_);
        old = std::move(watch_);
        watch_ = std::move(watch);
    }
    if (old) old->cancel();
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
