#pragma once
// Ties a key of the standard user defaults to an action: the shortcut stored
// under the key (a keyed archive, read through the binding's transformer) is
// registered as a system-wide hotkey running the action, and registered again
// whenever the stored value changes, by a recorder or any other writer. Main
// thread only.
//
// Defaults go into the volatile registration domain, so a value the user
// stored wins and nothing is written. Each key registers its own hot key and
// unregisters only that one: two keys set to one combination never stop each
// other. Reading or writing a key that is not bound is a programming error
// (an assertion in debug builds, a log line and nothing done otherwise).

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "HKShortcut.h"
#include "platform/foundation/UserDefaults.h"

class HKShortcutMonitor;

namespace foundation {
class ValueTransformer;
}

class HKShortcutBinder {
public:
    struct BindingOptions {
        std::shared_ptr<foundation::ValueTransformer> valueTransformer;
        std::string valueTransformerName;
    };

    // The application's, over the shared monitor (which may be null) and the
    // standard user defaults.
    static HKShortcutBinder& sharedBinder();

    HKShortcutBinder(HKShortcutMonitor* monitor, std::shared_ptr<foundation::UserDefaults> defaults);
    // Unbinds every bound key.
    ~HKShortcutBinder();
    HKShortcutBinder(const HKShortcutBinder&) = delete;
    HKShortcutBinder& operator=(const HKShortcutBinder&) = delete;

    HKShortcutMonitor* shortcutMonitor() const { return shortcutMonitor_; }
    const BindingOptions& bindingOptions() const { return bindingOptions_; }

    // Keeps the action under the key and binds it: the present value (stored,
    // else the registered default) is registered at once.
    void bindShortcutWithDefaultsKey(const std::string& key, std::function<void()> action);
    // Unregisters the key's hot key and forgets the key.
    void breakBindingWithDefaultsKey(const std::string& key);
    // Registers each shortcut's archive as the key's default, for this process only.
    void registerDefaultShortcuts(const std::map<std::string, HKShortcut>& defaults);
    bool isRegisteredAction(const std::string& key) const;

    // The shortcut the bound key holds now (registered or refused).
    std::optional<HKShortcut> valueForKey(const std::string& key) const;
    // The binding's delivery of a new stored value: the old hot key goes, a new one is registered.
    void setValueForKey(const std::optional<HKShortcut>& value, const std::string& key);

private:
    struct Bound {
        std::function<void()> action;
        std::optional<HKShortcut> shortcut;
        foundation::UserDefaults::Token token = 0;
    };

    std::shared_ptr<foundation::ValueTransformer> transformer() const;
    std::optional<HKShortcut> storedValue(const std::string& key) const;
    bool checkBound(const std::string& key, const char* operation) const;

    HKShortcutMonitor* shortcutMonitor_;
    std::shared_ptr<foundation::UserDefaults> defaults_;
    BindingOptions bindingOptions_;
    std::map<std::string, Bound> bound_;
};
