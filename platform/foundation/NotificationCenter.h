#pragma once
// Delivers notifications by name and object to the observers that asked for
// them. Any thread: post() calls the matching observers synchronously on the
// posting thread, in the order they were added; an observer that needs another
// queue re-dispatches itself.
//
// Observers may add or remove observers (themselves included) while a post is
// being delivered: an observer removed during a delivery on the same thread is
// not called after its removal (one removed on another thread may still be
// called by a delivery already under way); one added during a delivery first
// hears the next post.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Notification.h"

namespace foundation {

class NotificationCenter {
public:
    using Handler = std::function<void(const Notification&)>;
    using Token = uint64_t;

    NotificationCenter() = default;
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // The process's default centre.
    static NotificationCenter& defaultCenter();

    // Calls handler for every notification whose name equals name (any name when
    // empty) and whose object is object (any object when null). owner groups
    // observers for removeObservers(); the token removes just this one.
    Token addObserver(const std::string& name, const void* object, Handler handler, const void* owner = nullptr);
    void removeObserver(Token token);
    // Removes every observer added with this owner, for name only when given.
    void removeObservers(const void* owner, const std::string& name = {});

    void post(const Notification& notification);
    void post(const std::string& name, const void* object = nullptr) { post(Notification{name, object, {}, {}}); }

private:
    struct Entry {
        Token token;
        std::string name;
        const void* object;
        const void* owner;
        Handler handler;
        std::atomic<bool> removed{false};
    };

    std::mutex mutex_;
    std::vector<std::shared_ptr<Entry>> entries_;
    Token nextToken_ = 1;
};

// Removes its observer when it goes away, for observers owned by an object.
class ObserverRegistration {
public:
    ObserverRegistration() = default;
    ObserverRegistration(NotificationCenter& center, NotificationCenter::Token token) : center_(&center), token_(token) {}
    ~ObserverRegistration() { reset(); }
    ObserverRegistration(ObserverRegistration&& other) noexcept { *this = std::move(other); }
    ObserverRegistration& operator=(ObserverRegistration&& other) noexcept {
        if (this != &other) {
            reset();
            center_ = other.center_;
            token_ = other.token_;
            other.center_ = nullptr;
        }
        return *this;
    }
    void reset() {
        if (center_) center_->removeObserver(token_);
        center_ = nullptr;
    }

private:
    NotificationCenter* center_ = nullptr;
    NotificationCenter::Token token_ = 0;
};

}  // namespace foundation
