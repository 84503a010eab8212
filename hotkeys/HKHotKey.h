#pragma once
// One system-wide hotkey: a shortcut registered with the desktop's hotkey
// centre under the identifier (kSignature, carbonID), and the action to run
// when it is pressed. It is unregistered when it goes away. Main thread only.

#include <cstdint>
#include <functional>
#include <memory>

#include "HKShortcut.h"
#include "platform/desktop/HotKeyCenter.h"

class HKHotKey {
public:
    // The identifier's signature, the four characters "MASS".
    static constexpr uint32_t kSignature = 0x4D415353;

    // A registered hot key, or null when the centre refuses the shortcut (or
    // there is none); the identifier is spent all the same.
    static std::shared_ptr<HKHotKey> registeredHotKeyWithShortcut(const HKShortcut& shortcut,
                                                                  desktop::HotKeyCenter* center);
    // Takes the next identifier (the first is 1) and tries to register.
    HKHotKey(const HKShortcut& shortcut, desktop::HotKeyCenter* center);
    ~HKHotKey();
    HKHotKey(const HKHotKey&) = delete;
    HKHotKey& operator=(const HKHotKey&) = delete;

    uint32_t carbonID() const { return carbonID_; }
    const std::function<void()>& action() const { return action_; }
    void setAction(std::function<void()> action) { action_ = std::move(action); }
    // 0 when not registered.
    desktop::HotKeyCenter::Ref hotKeyRef() const { return hotKeyRef_; }

private:
    uint32_t carbonID_;
    std::function<void()> action_;
    desktop::HotKeyCenter* center_;
    desktop::HotKeyCenter::Ref hotKeyRef_ = 0;
};
