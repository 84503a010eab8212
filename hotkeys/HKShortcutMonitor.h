#pragma once
// The application's system-wide hotkeys: a table of the registered hot keys
// by shortcut, and the handler that runs the action of the one pressed, later
// on the main queue, never inside the desktop's callback. Main thread only.
//
// A shortcut without a key is refused: it would otherwise grab the A key.
// Registrations carry an owner (the defaults key of a binding), and an owner
// replaces and unregisters only its own, so two hotkeys set to one combination
// never drop each other's registration; the newest of them runs on a press.
//
// While a shortcut recorder records, presses of registered combinations go
// to it as key events, so a hotkey can be recorded again, and run nothing.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "HKHotKey.h"
#include "HKShortcut.h"

class HKShortcutMonitor {
public:
    // The application's, on its X connection; null without one (the offscreen
    // platform, Wayland), where no hotkey ever fires.
    static HKShortcutMonitor* sharedMonitor();

    explicit HKShortcutMonitor(desktop::HotKeyCenter* center);
    ~HKShortcutMonitor();
    HKShortcutMonitor(const HKShortcutMonitor&) = delete;
    HKShortcutMonitor& operator=(const HKShortcutMonitor&) = delete;

    // Registers the shortcut under owner, replacing that owner's registration
    // of an equal shortcut; NO (nothing changed) when the desktop refuses it.
    bool registerShortcut(const HKShortcut& shortcut, std::function<void()> action, const std::string& owner = {});
    // Removes every registration of the shortcut; nothing does nothing.
    void unregisterShortcut(const std::optional<HKShortcut>& shortcut);
    // Removes the owner's registration of the shortcut only.
    void unregisterShortcut(const HKShortcut& shortcut, const std::string& owner);
    void unregisterAllShortcuts();
    bool isShortcutRegistered(const HKShortcut& shortcut) const;

    // A press: runs the action of the hot key whose identifier it carries, when
    // the event is a keyboard one with the hot keys' signature.
    void handleEvent(const desktop::HotKeyEvent& event);

private:
    struct Entry {
        HKShortcut shortcut;
        std::string owner;
        std::shared_ptr<HKHotKey> hotKey;
    };

    desktop::HotKeyCenter* center_;
    std::vector<Entry> hotKeys_;  // in order of registration
};
