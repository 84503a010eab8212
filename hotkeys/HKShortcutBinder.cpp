#include "HKShortcutBinder.h"

#include <cassert>

#include "HKShortcutMonitor.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/SystemLog.h"
#include "platform/foundation/ValueTransformer.h"

HKShortcutBinder& HKShortcutBinder::sharedBinder() {
    static HKShortcutBinder* binder =
        new HKShortcutBinder(HKShortcutMonitor::sharedMonitor(), foundation::UserDefaults::standard());
    return *binder;
}

HKShortcutBinder::HKShortcutBinder(HKShortcutMonitor* monitor, std::shared_ptr<foundation::UserDefaults> defaults)
    : shortcutMonitor_(monitor),
      defaults_(std::move(defaults)),
      bindingOptions_{nullptr, foundation::ValueTransformer::kKeyedUnarchiveFromDataTransformerName} {}

HKShortcutBinder::~HKShortcutBinder() {
    for (auto& [key, bound] : bound_) {
        defaults_->removeObserver(bound.token);
        if (shortcutMonitor_ && bound.shortcut) shortcutMonitor_->unregisterShortcut(*bound.shortcut, key);
    }
}

std::shared_ptr<foundation::ValueTransformer> HKShortcutBinder::transformer() const {
    if (bindingOptions_.valueTransformer) return bindingOptions_.valueTransformer;
    return foundation::ValueTransformer::valueTransformerForName(bindingOptions_.valueTransformerName);
}

std::optional<HKShortcut> HKShortcutBinder::storedValue(const std::string& key) const {
    foundation::PlistValue stored = defaults_->objectForKey(key);
    std::shared_ptr<foundation::ValueTransformer> through = transformer();
    std::any value = through ? through->transformedValue(stored) : std::any(stored);
    const HKShortcut* shortcut = std::any_cast<HKShortcut>(&value);
    return shortcut ? std::optional<HKShortcut>(*shortcut) : std::nullopt;
}

void HKShortcutBinder::bindShortcutWithDefaultsKey(const std::string& key, std::function<void()> action) {
    Bound& bound = bound_[key];
    bound.action = std::move(action);
    // Binding again replaces the binding before.
    if (bound.token) defaults_->removeObserver(bound.token);
    bound.token = defaults_->addObserver(key, [this](const std::string& changed) {
        if (bound_.count(changed)) setValueForKey(storedValue(changed), changed);
    });
    setValueForKey(storedValue(key), key);
}

void HKShortcutBinder::breakBindingWithDefaultsKey(const std::string& key) {
    auto it = bound_.find(key);
    if (it == bound_.end()) return;
    if (shortcutMonitor_ && it->second.shortcut) shortcutMonitor_->unregisterShortcut(*it->second.shortcut, key);
    defaults_->removeObserver(it->second.token);
    bound_.erase(it);
}

void HKShortcutBinder::registerDefaultShortcuts(const std::map<std::string, HKShortcut>& defaults) {
    std::shared_ptr<foundation::ValueTransformer> through = transformer();
    for (const auto& [key, shortcut] : defaults) {
        std::any archived = through ? through->reverseTransformedValue(shortcut) : std::any();
        const foundation::PlistValue* value = std::any_cast<foundation::PlistValue>(&archived);
        if (value) defaults_->registerDefaults({{key, *value}});
    }
}

bool HKShortcutBinder::isRegisteredAction(const std::string& key) const { return bound_.count(key) != 0; }

bool HKShortcutBinder::checkBound(const std::string& key, const char* operation) const {
    if (bound_.count(key)) return true;
    foundation::systemLog(foundation::format("HKShortcutBinder: %s of the key \"%@\", which is not bound", operation, key));
    assert(!"a hotkey binder key that is not bound");
    return false;
}

std::optional<HKShortcut> HKShortcutBinder::valueForKey(const std::string& key) const {
    if (!checkBound(key, "read")) return std::nullopt;
    return bound_.at(key).shortcut;
}

void HKShortcutBinder::setValueForKey(const std::optional<HKShortcut>& value, const std::string& key) {
    if (!checkBound(key, "write")) return;
    Bound& bound = bound_.at(key);
    if (bound.shortcut && shortcutMonitor_) shortcutMonitor_->unregisterShortcut(*bound.shortcut, key);
    bound.shortcut = value;
    if (value && shortcutMonitor_) shortcutMonitor_->registerShortcut(*value, bound.action, key);
}
