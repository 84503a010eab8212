#pragma once
// This device's pushes: after another device commits a change to a zone this
// device subscribes to, one push reaches the main queue (several changes may
// come as one; the writer itself never gets one). On the embedded back-end
// the device watches the store's folder for the "push" file the writers
// rewrite (a folder watch on the process's one inotify instance); on
// PostgreSQL it listens through the process's one PostgresListener. Either
// only wakes a check of the account's change numbers, at most one waiting at
// a time however many wakes come. It checks again at registration and every
// PushCheckInterval, so a push lost while the device was stopped, or dropped,
// still arrives once. The token is the device identifier. Any thread;
// handlers run on the main queue.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Error.h"
#include "platform/foundation/PlistValue.h"

namespace dispatch {
class Queue;
class TimerSource;
}  // namespace dispatch

namespace cloud {

class Container;
class ChangeWatch;

class PushChannel : public std::enable_shared_from_this<PushChannel> {
public:
    using Registered = std::function<void(const std::string& deviceToken)>;
    using PushHandler = std::function<void(const foundation::PlistValue::Dictionary& payload)>;

    explicit PushChannel(std::weak_ptr<Container> container);
    ~PushChannel();
    PushChannel(const PushChannel&) = delete;
    PushChannel& operator=(const PushChannel&) = delete;

    // Answers the device token on the main queue, then delivers pushes there.
    void registerForRemoteNotifications(Registered registered, PushHandler onPush);
    // No pushes after this returns to the main queue.
    void unregister();
    // Checks for changes now, as the periodic check does.
    void checkNow();
    // The container's account, back-end or folder changed: the watch of the
    // old store goes, the new one is watched and checked at once.
    void accountDidMove();
    // How often this device asked the store for changes (status, tests).
    int checkCount() const { return checks_; }

private:
    void arm();
    // A wake: one check queued, unless one is already waiting.
    void wake();
    void check();

    std::weak_ptr<Container> container_;
    std::shared_ptr<dispatch::Queue> queue_;
    std::mutex mutex_;
    PushHandler onPush_;
    std::shared_ptr<ChangeWatch> watch_;
    std::shared_ptr<dispatch::TimerSource> timer_;
    std::atomic<bool> checkWaiting_{false};
    std::atomic<int> checks_{0};
};

}  // namespace cloud
