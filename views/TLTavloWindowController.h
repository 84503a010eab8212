#pragma once
// The browser's one window and its two modes, kept in the settings under
// TLUserDefaultsWindowIsDetached:
//
// - attached: a frameless tool window kept on top, hung under the tray icon
//   with an arrow pointing up at it (or, under a tray at the screen's bottom,
//   above it pointing down), following the icon on every tick and hidden when
//   it loses the keyboard;
// - detached: a frameless window with close, minimise and zoom drawn in its
//   header, moved by the header, resized from the top and bottom edges with
//   its width kept, on top while floating (TLUserDefaultsFloatWindow), its
//   frame remembered in TLUserDefaultsWindowFrame.
//
// Frames are "{{x, y}, {w, h}}" in screen pixels with the origin top left. A
// frame that does not read, has no width or lies off every screen gives the
// first-run frame on the primary screen; any frame is cut to its screen.
//
// Key status is the keyboard inside our own family of windows: the browser
// and the popovers, sheets, alerts and menus over it. Focus moving to one of
// those keeps it; moving to any other window, ours (the preferences) or not,
// loses it.
//
// Without an anchor (no tray, or a tray that gives no place and was never
// pressed) an attached show comes up detached instead, fully on a screen.
// Floating while pasting is kept in memory with a nesting count; the user's
// float setting is never written for it.
//
// A window shown at alpha 0 is never mapped: without a compositing manager an
// X11 window ignores its opacity, and the hidden launch must not flash.
// Main queue only.
#include <QPainterPath>
#include <QRect>
#include <QRegion>
#include <QWidget>

#include <memory>
#include <optional>
#include <vector>

#include "platform/foundation/FrameString.h"
#include "platform/foundation/NotificationCenter.h"

namespace desktop {
class Animation;
class Menu;
class StatusItem;
}
class QKeyEvent;
class QScreen;
class TLAboutWindowController;
class TLMenubarPanel;
class TLPreferencesWindowController;
class TLTitleView;
class TLView;
class TLWindowButton;

// What the window asks of the view controller that fills it (the clippings
// panel): whether it may hide now, and its search field while it searches.
class TLTavloWindowContent {
public:
    virtual ~TLTavloWindowContent() = default;
    virtual QWidget* view() = 0;
    virtual bool canHideWindow() const { return true; }
    virtual bool isSearching() const { return false; }
    virtual QWidget* searchField() const { return nullptr; }
};

class TLTavloWindowController {
public:
    static constexpr double kFadeSeconds = 0.15;
    static constexpr double kModeAnimationSeconds = 0.1;
    static constexpr double kShowFallbackDelay = 1.0;
    static constexpr double kTickPlacementDelay = 0.01;
    static constexpr double kDragPollInterval = 0.25;
    static constexpr double kDragReshowDelay = 0.1;
    static constexpr int kMinimumShowHeight = 150;
    static constexpr int kDetachDrop = 40;
    static constexpr int kSheetDrop = 60;
    static constexpr int kArrowHeight = 12;
    static constexpr double kDetachedCornerRadius = 5;
    static constexpr double kAttachedCornerRadius = 8;
    // The frame of the first launch, and of a stored frame that cannot serve.
    static constexpr QRect kFirstFrame{20, 20, 360, 600};

    TLTavloWindowController();
    ~TLTavloWindowController();
    TLTavloWindowController(const TLTavloWindowController&) = delete;
    TLTavloWindowController& operator=(const TLTavloWindowController&) = delete;

    QWidget* window() const;

    // The view filling the window (the clippings panel's). Until one is set, a
    // placeholder with the header and the title "Tavlo". The window takes it
    // over; the previous one is deleted.
    QWidget* contentView() const { return contentView_; }
    void setContentView(QWidget* view);
    // The view controller filling the window (borrowed: it clears itself
    // before it goes); its view becomes the content view.
    TLTavloWindowContent* contentViewController() const { return contentViewController_; }
    void setContentViewController(TLTavloWindowContent* controller);

    // --- What the application delegate calls.
    void showApplicationWindow();
    // Shows the window in the stored mode at the given opacity.
    void showApplicationWindowWithAlpha(double alpha);
    // Closes the window; the settings stay as they are.
    void close();
    // Fades the window out over seconds, then closes it and restores its opacity.
    void fadeOutAndClose(double seconds);
    // Held weakly: the application delegate owns the item.
    void setStatusItem(std::weak_ptr<desktop::StatusItem> item) { statusItem_ = std::move(item); }
    std::shared_ptr<desktop::StatusItem> statusItem() const { return statusItem_.lock(); }

    // True from a show until the next close, whether or not the window is mapped.
    bool isWindowShown() const { return shown_; }
    double windowAlpha() const { return alpha_; }
    // The keyboard is in the browser's family of windows.
    bool isKeyWindow() const { return key_; }
    bool isDetached() const;

    // --- The browser's own operations.
    // Detached: closes while key, else shows. Attached: closes while visible.
    void toggleApplicationWindow();
    // Fades out over 0.15 s, then closes.
    void closeWindow();
    // A toggle: attaches when already detached.
    void detachWindow();
    void attachWindow();
    // Flips TLUserDefaultsFloatWindow and, detached, whether the window stays on top.
    void toggleFloatingWindow();
    // Hangs the attached window under the anchor; unless forced, only when the
    // anchor lies on the window's screen.
    void adjustWindowPosition(bool force);
    void checkWindowPosition();
    void updateWindowMask();
    void saveWindowFrame();
    void updateWindowFrame();
    void updateAppearance();
    bool cursorIsOverWindow() const;
    // The window's keys; true when taken.
    bool keyDown(const QKeyEvent& event);
    void tempResignKey();
    void regainKey();
    void startDragging();
    void endDragging();
    bool startedDragging() const { return startedDragging_; }
    bool isDragTimerRunning() const { return dragTimer_ != nullptr; }
    // The panel's say in hiding the window; yes until a panel answers.
    bool canHideWindow() const { return !contentViewController_ || contentViewController_->canHideWindow(); }
    // How many pastes keep the window floating now.
    int pastesUnderWay() const { return pastes_; }

    // --- The window's delegate.
    void windowDidBecomeKey();
    void windowDidResignKey();
    QSize windowWillResize(const QSize& proposed) const;
    QRect willPositionSheet(const QRect& proposed) const { return proposed.translated(0, kSheetDrop); }
    void windowDidMove() { saveWindowFrame(); }
    void windowDidResize();
    // Closing through the window (its close button, the window manager) only hides it.
    bool windowShouldClose();

    // What the attached window points at, in screen pixels; nothing without one.
    std::optional<QRect> anchorRect() const;
    // The window hung under anchor within screen: its top 1 px below the
    // anchor, centred on it and pushed inside the screen's sides; above the
    // anchor when there is no room below.
    static QRect attachedFrame(const QRect& frame, const QRect& anchor, const QRect& screen);
    // A stored frame made fit to show on the screens there are.
    static QRect frameOnScreens(const foundation::FrameRect& stored);
    // The shape of the window's content: detached a rounded rectangle with a
    // hole at each of the three buttons; attached a rounded rectangle below a
    // 20 × 10 arrow on its top edge (or its bottom edge when arrowBelow), at
    // arrowX across (the middle without one), clear of the corners.
    static QPainterPath maskPath(bool detached, const QSize& size, std::optional<double> arrowX = std::nullopt,
                                 bool arrowBelow = false);
    // The pixels a path covers, as a window mask.
    static QRegion regionForPath(const QPainterPath& path, const QSize& size);
    QRegion windowMask() const;

    // Made on first use, then kept.
    TLPreferencesWindowController& preferencesWindowController();
    TLAboutWindowController& aboutWindowController();
    bool hasPreferencesWindowController() const { return preferences_ != nullptr; }
    void showPreferencesWindow(bool syncTab = false);
    void showAboutWindow();

    // The placeholder's header title, until a panel takes the window.
    TLTitleView* titleView() const { return titleView_; }
    // The menu of the window's modes ("Attach to Tray Icon", "Float Window")
    // and "Preferences...", popped up under the widget.
    void showWindowMenu(QWidget* under);

private:
    class WindowDelegate;

    void applyConfiguration(bool detached);
    void setStaysOnTop(bool onTop);
    void setFrame(const QRect& frame);
    void animateFrame(const QRect& to, double seconds);
    void stopFade();
    void stopFrameAnimation();
    void focusChanged();
    void updateKeyStatus();
    bool isInFamily(const QWidget* widget) const;
    void getDraggingCursorLocation();
    void draggedOutOfWindow();
    void stopDragTimer();
    void scheduleDragPoll(std::weak_ptr<int> timer);
    void zoom();
    void buildPlaceholder();
    void layoutChrome();
    // Runs block on the main queue after seconds while the controller lives.
    void later(double seconds, std::function<void()> block);

    std::unique_ptr<TLMenubarPanel> window_;
    std::unique_ptr<WindowDelegate> delegate_;
    QWidget* contentView_ = nullptr;    // owned by window_
    TLTavloWindowContent* contentViewController_ = nullptr;
    TLView* headerView_ = nullptr;      // the placeholder's; owned by window_
    TLTitleView* titleView_ = nullptr;  // the placeholder's; owned by window_
    std::vector<TLWindowButton*> buttons_;
    std::weak_ptr<desktop::StatusItem> statusItem_;
    std::unique_ptr<TLPreferencesWindowController> preferences_;
    std::unique_ptr<TLAboutWindowController> about_;
    std::vector<foundation::ObserverRegistration> observers_;
    std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
    bool shown_ = false;
    bool key_ = false;
    bool arrowBelow_ = false;
    int arrowX_ = 0;
    double alpha_ = 1.0;
    int pastes_ = 0;
    bool startedDragging_ = false;
    std::shared_ptr<int> dragTimer_;  // the running poll; dropping it stops the poll
    std::shared_ptr<desktop::Animation> fade_;
    std::shared_ptr<desktop::Animation> frameAnimation_;
    struct MaskShape {
        bool detached = false;
        QSize size;
        int arrowX = 0;
        bool arrowBelow = false;
        bool operator==(const MaskShape&) const = default;
    };
    MaskShape maskShape_;  // the shape the masks were last cut to
    QRect unzoomedFrame_;
    std::shared_ptr<desktop::Menu> windowMenu_;
    bool saveScheduled_ = false;
};
