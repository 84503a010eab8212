#pragma once
// The main window of the application. Made once at start-up; shows and hides
// the window, keeps the tray item the attached window hangs under, and answers
// the notifications that open the preferences and About windows (made on
// first use and kept) and the show-application hotkey. Main queue only.
//
// A window shown at alpha 0 is never mapped: without a compositing manager an
// X11 window ignores its opacity, and the hidden launch must not flash.
#include <QWidget>

#include <memory>
#include <vector>

#include "platform/foundation/NotificationCenter.h"

namespace desktop {
class Animation;
class StatusItem;
}
class TLAboutWindowController;
class TLPreferencesWindowController;
class TLTitleView;
class TLView;

class TLTavloWindowController {
public:
    TLTavloWindowController();
    ~TLTavloWindowController();
    TLTavloWindowController(const TLTavloWindowController&) = delete;
    TLTavloWindowController& operator=(const TLTavloWindowController&) = delete;

    QWidget* window() const { return window_.get(); }

    void showApplicationWindow();
    // Shows the window on the screen under the pointer at the given opacity.
    void showApplicationWindowWithAlpha(double alpha);
    // Closes the window and forgets the screen it was on.
    void close();
    // Fades the window out over seconds, then closes it and restores its opacity.
    void fadeOutAndClose(double seconds);

    // True from a show until the next close, whether or not the window is mapped.
    bool isWindowShown() const { return shown_; }
    double windowAlpha() const { return alpha_; }

    // Held weakly: the application delegate owns the item.
    void setStatusItem(std::weak_ptr<desktop::StatusItem> item) { statusItem_ = std::move(item); }
    std::shared_ptr<desktop::StatusItem> statusItem() const { return statusItem_.lock(); }

    // Made on first use, then kept.
    TLPreferencesWindowController& preferencesWindowController();
    TLAboutWindowController& aboutWindowController();
    bool hasPreferencesWindowController() const { return preferences_ != nullptr; }

    // The header with the name of what the window shows.
    TLTitleView* titleView() const { return titleView_; }
    // Brings the header's and the panel's colours to the appearance in force.
    void updateAppearance();

private:
    void stopFade();

    std::unique_ptr<QWidget> window_;
    TLView* headerView_ = nullptr;      // owned by window_
    TLTitleView* titleView_ = nullptr;  // owned by window_
    TLView* clippingsView_ = nullptr;   // owned by window_
    std::weak_ptr<desktop::StatusItem> statusItem_;
    std::unique_ptr<TLPreferencesWindowController> preferences_;
    std::unique_ptr<TLAboutWindowController> about_;
    std::vector<foundation::ObserverRegistration> observers_;
    QScreen* screen_ = nullptr;
    bool shown_ = false;
    double alpha_ = 1.0;
    std::shared_ptr<desktop::Animation> fade_;
};
