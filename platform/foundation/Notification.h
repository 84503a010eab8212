#pragma once
// One notification: a name, the object it is about and extra details.

#include <any>
#include <map>
#include <string>

namespace foundation {

struct Notification {
    std::string name;
    // What the notification is about (the poster, a context, ...), compared by
    // address when an observer filters on it. Null for none.
    const void* object = nullptr;
    // Data carried in the object's place, where the notification's object is a
    // value rather than a sender (a status text, a list of identifiers).
    std::any value;
    std::map<std::string, std::any> userInfo;

    // The carried value as T, or null when there is none of that type.
    template <class T>
    const T* valueAs() const {
        return std::any_cast<T>(&value);
    }
    template <class T>
    const T* info(const std::string& key) const {
        auto it = userInfo.find(key);
        return it == userInfo.end() ? nullptr : std::any_cast<T>(&it->second);
    }
};

}  // namespace foundation
