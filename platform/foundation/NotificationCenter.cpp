#include "NotificationCenter.h"

#include <algorithm>

namespace foundation {

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter* center = new NotificationCenter();  // lives for the whole process
    return *center;
}

NotificationCenter::Token NotificationCenter::addObserver(const std::string& name, const void* object,
                                                          Handler handler, const void* owner) {
    auto entry = std::make_shared<Entry>();
    entry->name = name;
    entry->object = object;
    entry->owner = owner;
    entry->handler = std::move(handler);
    std::lock_guard lock(mutex_);
    entry->token = nextToken_++;
    entries_.push_back(entry);
    return entry->token;
}

void NotificationCenter::removeObserver(Token token) {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(entries_.begin(), entries_.end(), [&](const auto& e) { return e->token == token; });
    if (it == entries_.end()) return;
    (*it)->removed = true;
    entries_.erase(it);
}

void NotificationCenter::removeObservers(const void* owner, const std::string& name) {
    if (!owner) return;
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [&](const auto& e) {
        bool match = e->owner == owner && (name.empty() || e->name == name);
        if (match) e->removed = true;
        return match;
    });
}

void NotificationCenter::post(const Notification& notification) {
    std::vector<std::shared_ptr<Entry>> matching;
    {
        std::lock_guard lock(mutex_);
        for (const auto& e : entries_) {
            if (!e->name.empty() && e->name != notification.name) continue;
            if (e->object && e->object != notification.object) continue;
            matching.push_back(e);
        }
    }
    // Handlers run without the lock, so they may post, add and remove freely.
    for (const auto& e : matching) {
        if (!e->removed) e->handler(notification);
    }
}

}  // namespace foundation
