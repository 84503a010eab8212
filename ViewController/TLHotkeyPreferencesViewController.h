#pragma once
// The Hotkeys tab of the preferences window: one recorder for each of the
// eight named hotkeys, bound to its key in the standard user defaults, and a
// button that restores their defaults. The numbered hotkeys have no editor and
// keep their values. Every change posts "TLRegisterHotkeys", on which the
// application binds all hotkeys anew. Main thread.

#include <QWidget>

#include <array>

class HKShortcutView;
class QPushButton;

class TLHotkeyPreferencesViewController : public QWidget {
public:
    explicit TLHotkeyPreferencesViewController(QWidget* parent = nullptr);
    ~TLHotkeyPreferencesViewController() override;

    // Sets each recorder to its default shortcut, in table order.
    void restoreDefaults();

    HKShortcutView* showApplicationShortcutView() const { return recorders_[0]; }
    HKShortcutView* nextListShortcutView() const { return recorders_[1]; }
    HKShortcutView* cpNextShortcutView() const { return recorders_[2]; }
    HKShortcutView* pasteNextShortcutView() const { return recorders_[3]; }
    HKShortcutView* clipboardRecorderShortcutView() const { return recorders_[4]; }
    HKShortcutView* saveClipboardShortcutView() const { return recorders_[5]; }
    HKShortcutView* clearClipboardShortcutView() const { return recorders_[6]; }
    HKShortcutView* togglePlainTextShorcutView() const { return recorders_[7]; }
    QPushButton* restoreButton() const { return restoreButton_; }

private:
    // In the order of the hotkey table's named rows.
    std::array<HKShortcutView*, 8> recorders_{};
    QPushButton* restoreButton_;
};
