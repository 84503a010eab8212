#include "HKShortcutMonitor.h"

#include <algorithm>

#include "HKShortcutView.h"
#include "platform/dispatch/Queue.h"

HKShortcutMonitor* HKShortcutMonitor::sharedMonitor() {
    static HKShortcutMonitor* monitor = nullptr;
    if (!monitor) {
        if (desktop::HotKeyCenter* center = desktop::HotKeyCenter::shared()) monitor = new HKShortcutMonitor(center);
    }
    return monitor;
}

HKShortcutMonitor::HKShortcutMonitor(desktop::HotKeyCenter* center) : center_(center) {
    center_->setHandler([this](const desktop::HotKeyEvent& event) { handleEvent(event); });
    center_->setKeyEventTarget([]() -> QObject* {
        HKShortcutView* view = HKShortcutView::recordingView();
        return view && view->isRecording() ? view : nullptr;
    });
}

HKShortcutMonitor::~HKShortcutMonitor() {
    center_->setHandler(nullptr);
    center_->setKeyEventTarget(nullptr);
}

bool HKShortcutMonitor::registerShortcut(const HKShortcut& shortcut, std::function<void()> action,
                                         const std::string& owner) {
    if (shortcut.keyCode() == HKShortcut::kNotFound) return false;
    std::shared_ptr<HKHotKey> hotKey = HKHotKey::registeredHotKeyWithShortcut(shortcut, center_);
    if (!hotKey) return false;
    hotKey->setAction(std::move(action));
    // The replaced hot key is unregistered after the new one holds the grab, which the centre keeps.
    auto replaced = std::find_if(hotKeys_.begin(), hotKeys_.end(), [&](const Entry& entry) {
        return entry.shortcut == shortcut && entry.owner == owner;
    });
    if (replaced != hotKeys_.end()) hotKeys_.erase(replaced);
    hotKeys_.push_back({shortcut, owner, std::move(hotKey)});
    return true;
}

void HKShortcutMonitor::unregisterShortcut(const std::optional<HKShortcut>& shortcut) {
    if (!shortcut) return;
    std::erase_if(hotKeys_, [&](const Entry& entry) { return entry.shortcut == *shortcut; });
}

void HKShortcutMonitor::unregisterShortcut(const HKShortcut& shortcut, const std::string& owner) {
    std::erase_if(hotKeys_, [&](const Entry& entry) { return entry.shortcut == shortcut && entry.owner == owner; });
}

void HKShortcutMonitor::unregisterAllShortcuts() { hotKeys_.clear(); }

bool HKShortcutMonitor::isShortcutRegistered(const HKShortcut& shortcut) const {
    return std::any_of(hotKeys_.begin(), hotKeys_.end(), [&](const Entry& entry) { return entry.shortcut == shortcut; });
}

void HKShortcutMonitor::handleEvent(const desktop::HotKeyEvent& event) {
    if (event.eventClass != desktop::HotKeyEvent::kEventClassKeyboard) return;
    if (!event.hasID || event.hotKeyID.signature != HKHotKey::kSignature) return;
    for (const Entry& entry : hotKeys_) {
        if (entry.hotKey->carbonID() != event.hotKeyID.id) continue;
        if (std::function<void()> action = entry.hotKey->action()) dispatch::Queue::main()->async(std::move(action));
        return;
    }
}
