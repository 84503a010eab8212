#include "TLTavloWindowController.h"

#include <QApplication>
#include <QBitmap>
#include <QCursor>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPainter>
#include <QScreen>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>
#include <cmath>
#include <string>

#include "TLAboutWindowController.h"
#include "TLMenubarPanel.h"
#include "TLPreferencesWindowController.h"
#include "TLTitleView.h"
#include "TLView.h"
#include "TLWindowButton.h"
#include "kit/NSColorTavloColors.h"
#include "kit/TLInterfaceSound.h"
#include "kit/TLSettings.h"
#include "kit/TLUserDefaultsKeys.h"
#include "kit/TavloKit.h"
#include "platform/desktop/Alert.h"
#include "platform/desktop/Animator.h"
#include "platform/desktop/KeyEvent.h"
#include "platform/desktop/Menu.h"
#include "platform/desktop/MenuItem.h"
#include "platform/desktop/Popover.h"
#include "platform/desktop/StatusItem.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/UserDefaults.h"

namespace {

constexpr int kHeaderHeight = 44;
// Frames past this are no frames any screen shows; reading them as they are
// would overflow the pixel arithmetic.
constexpr double kLargestCoordinate = 1e6;
// Moves and resizes come in bursts while a window is dragged: the settings
// file is written once the burst is over.
constexpr double kFrameWriteDelay = 0.5;

bool floatSetting() { return TLSettings()->boolForKey(TLUserDefaultsFloatWindow); }

QRect fitInto(QRect frame, const QRect& area) {
    frame.setWidth(std::min(frame.width(), area.width()));
    frame.setHeight(std::min(frame.height(), area.height()));
    frame.moveLeft(std::clamp(frame.x(), area.x(), area.x() + area.width() - frame.width()));
    frame.moveTop(std::clamp(frame.y(), area.y(), area.y() + area.height() - frame.height()));
    return frame;
}

QRect lerp(const QRect& from, const QRect& to, double t) {
    auto mix = [t](int a, int b) { return static_cast<int>(std::lround(a + (b - a) * t)); };
    return QRect(mix(from.x(), to.x()), mix(from.y(), to.y()), mix(from.width(), to.width()),
                 mix(from.height(), to.height()));
}

// The top-level widget of a window of this application, or null.
QWidget* widgetOfWindow(const QWindow* window) {
    if (!window) return nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->windowHandle() == window) return widget;
    return nullptr;
}

}  // namespace

// The window's events that the Part has its window tell its delegate, and
// the application's focus, which makes and ends key status.
class TLTavloWindowController::WindowDelegate : public QObject {
public:
    explicit WindowDelegate(TLTavloWindowController& controller) : controller_(controller) {
        connect(qGuiApp, &QGuiApplication::focusWindowChanged, this, [this] { controller_.focusChanged(); });
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != controller_.window_.get()) return false;
        switch (event->type()) {
        case QEvent::Move: controller_.windowDidMove(); break;
        case QEvent::Resize: controller_.windowDidResize(); break;
        case QEvent::Close:
            if (!controller_.windowShouldClose()) {
                event->ignore();
                return true;
            }
            break;
        case QEvent::KeyPress:
            if (controller_.keyDown(static_cast<QKeyEvent&>(*event))) return true;
            break;
        default: break;
        }
        return false;
    }

private:
    TLTavloWindowController& controller_;
};

TLTavloWindowController::TLTavloWindowController()
    : window_(std::make_unique<TLMenubarPanel>(nullptr, Qt::Window | Qt::FramelessWindowHint)) {
    window_->setObjectName(QStringLiteral("TLTavloWindow"));
    window_->setWindowTitle(QStringLiteral("Tavlo"));
    auto* layout = new QVBoxLayout(window_.get());
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    buildPlaceholder();
    for (auto kind : {TLWindowButton::Kind::Close, TLWindowButton::Kind::Miniaturize, TLWindowButton::Kind::Zoom})
        buttons_.push_back(new TLWindowButton(kind, window_.get()));
    QObject::connect(buttons_[0], &QAbstractButton::clicked, [this] { window_->close(); });
    QObject::connect(buttons_[1], &QAbstractButton::clicked, [this] { window_->showMinimized(); });
    QObject::connect(buttons_[2], &QAbstractButton::clicked, [this] { zoom(); });
    layoutChrome();
    window_->resize(kFirstFrame.size());
    applyConfiguration(isDetached());
    updateAppearance();

    delegate_ = std::make_unique<WindowDelegate>(*this);
    window_->installEventFilter(delegate_.get());

    auto& center = foundation::NotificationCenter::defaultCenter();
    auto observe = [&](const char* name, std::function<void(const foundation::Notification&)> handler) {
        std::weak_ptr<int> alive = lifetime_;
        // Observers run on the posting thread; the window lives on the main one.
        auto onMain = [alive, handler](const foundation::Notification& notification) {
            auto main = dispatch::Queue::main();
            if (main->isCurrent()) {
                handler(notification);
                return;
            }
            main->async([alive, handler, notification] {
                if (alive.lock()) handler(notification);
            });
        };
        observers_.emplace_back(center, center.addObserver(name, nullptr, std::move(onMain)));
    };
    observe(TLTimerTickNotification, [this](const foundation::Notification&) { checkWindowPosition(); });
    observe(TLDetachWindowNotification, [this](const foundation::Notification&) { detachWindow(); });
    observe(TLAttachWindowNotification, [this](const foundation::Notification&) { attachWindow(); });
    observe(TLShowPreferencesWindow, [this](const foundation::Notification& notification) {
        const std::string* tab = notification.valueAs<std::string>();
        showPreferencesWindow(tab && *tab == "sync");
    });
    observe(TLShowAboutWindow, [this](const foundation::Notification&) { showAboutWindow(); });
    observe(TLClippingTableViewBeginDraggingNotification, [this](const foundation::Notification&) { startDragging(); });
    observe(TLClippingTableViewEndDraggingNotification, [this](const foundation::Notification&) { endDragging(); });
    observe(TLHotkeyShowApplication, [this](const foundation::Notification&) { toggleApplicationWindow(); });
    observe(TLPanelTemporarilyResignKey, [this](const foundation::Notification&) { tempResignKey(); });
    observe(TLPanelRegainKeyWindow, [this](const foundation::Notification&) { regainKey(); });
    observe(TLUserDefaultsWindowAppearance, [this](const foundation::Notification&) { updateAppearance(); });
    observe(TLUserDefaultsWindowFrame, [this](const foundation::Notification&) { updateWindowFrame(); });
}

TLTavloWindowController::~TLTavloWindowController() {
    observers_.clear();
    lifetime_.reset();
    // Animations under way hold this controller in their frames.
    stopFade();
    stopFrameAnimation();
    dragTimer_.reset();
    window_->removeEventFilter(delegate_.get());
    delegate_.reset();
}

QWidget* TLTavloWindowController::window() const { return window_.get(); }

void TLTavloWindowController::buildPlaceholder() {
    // The header with the name of the history, in the header's colour over
    // the panel's background: what the window shows until a panel takes it.
    auto* content = new TLView(window_.get());
    content->setObjectName(QStringLiteral("placeholderView"));
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    headerView_ = new TLView(content);
    headerView_->setObjectName(QStringLiteral("headerView"));
    headerView_->setFixedHeight(kHeaderHeight);
    auto* headerLayout = new QHBoxLayout(headerView_);
    headerLayout->setContentsMargins(0, 0, 0, 0);
    headerLayout->setSpacing(0);
    titleView_ = new TLTitleView(headerView_);
    titleView_->setObjectName(QStringLiteral("titleView"));
    titleView_->setTitle(QStringLiteral("Tavlo"));
    // The title holds the header's middle third; the window's buttons sit left of it.
    headerLayout->addStretch(1);
    headerLayout->addWidget(titleView_, 1);
    headerLayout->addStretch(1);
    // Until the panel's own menus come, the title offers the window's modes.
    titleView_->setClickAction([this] { showWindowMenu(titleView_); });
    layout->addWidget(headerView_);
    auto* body = new TLView(content);
    body->setObjectName(QStringLiteral("clippingsView"));
    layout->addWidget(body, 1);
    contentView_ = content;
    window_->layout()->addWidget(content);
}

void TLTavloWindowController::showWindowMenu(QWidget* under) {
    using desktop::MenuItem;
    auto menu = std::make_shared<desktop::Menu>("Window");
    const bool detached = isDetached();
    auto attach = std::make_shared<MenuItem>("Attach to Tray Icon", [](MenuItem&) {
        foundation::NotificationCenter::defaultCenter().post(TLDetachWindowNotification);
    });
    attach->setState(detached ? MenuItem::State::Off : MenuItem::State::On);
    attach->setEnabled(!detached || anchorRect().has_value());
    menu->addItem(attach);
    auto floating = std::make_shared<MenuItem>("Float Window", [this](MenuItem&) { toggleFloatingWindow(); });
    floating->setState(floatSetting() ? MenuItem::State::On : MenuItem::State::Off);
    floating->setKeyEquivalent("W");
    floating->setKeyEquivalentModifierMask(MenuItem::kCommandKeyMask | MenuItem::kShiftKeyMask);
    menu->addItem(floating);
    menu->addItem(MenuItem::separatorItem());
    auto preferences = std::make_shared<MenuItem>("Preferences...", [this](MenuItem&) { showPreferencesWindow(); }, ",");
    menu->addItem(preferences);
    windowMenu_ = menu;  // kept while it shows
    menu->popUp(under ? under->mapToGlobal(QPoint(0, under->height())) : window_->mapToGlobal(QPoint(0, 0)));
}

void TLTavloWindowController::setContentViewController(TLTavloWindowContent* controller) {
    contentViewController_ = controller;
    if (controller && controller->view()) setContentView(controller->view());
}

void TLTavloWindowController::setContentView(QWidget* view) {
    if (!view || view == contentView_) return;
    QWidget* old = contentView_;
    delete window_->layout()->replaceWidget(old, view);  // the layout hands its old item over
    view->setParent(window_.get());
    view->show();
    contentView_ = view;
    if (old) {
        headerView_ = nullptr;
        titleView_ = nullptr;
        old->deleteLater();
        old->hide();
    }
    layoutChrome();
    maskShape_ = {};  // the new view has no mask yet
    updateWindowMask();
    updateAppearance();
}

void TLTavloWindowController::layoutChrome() {
    // The buttons and the resize edges lie over the content.
    for (TLWindowButton* button : buttons_) button->raise();
    window_->setResizableEdges(window_->resizableEdges());
}

bool TLTavloWindowController::isDetached() const { return TLSettings()->boolForKey(TLUserDefaultsWindowIsDetached); }

// --- Showing and closing

void TLTavloWindowController::showApplicationWindow() { showApplicationWindowWithAlpha(1.0); }

void TLTavloWindowController::showApplicationWindowWithAlpha(double alpha) {
    stopFade();  // a show ends any fade under way
    stopFrameAnimation();
    alpha_ = alpha;
    window_->setWindowOpacity(alpha);

    auto suite = TLSettings();
    bool detached = suite->boolForKey(TLUserDefaultsWindowIsDetached);
    QRect frame = frameOnScreens(
        foundation::FrameString::rectFromString(suite->stringForKey(TLUserDefaultsWindowFrame).value_or("")));
    frame.setHeight(std::max(frame.height(), kMinimumShowHeight));
    if (!detached && !anchorRect() && alpha > 0.0) {
        // Nothing to hang under: an attached window would land off every
        // screen, where it still counts as shown. It comes up detached. (A
        // hidden launch shows nothing, and the icon may not be in the tray
        // yet: the stored mode stays.)
        detached = true;
        suite->setBool(true, TLUserDefaultsWindowIsDetached);
        suite->synchronize();
    }
    applyConfiguration(detached);
    updateAppearance();

    setFrame(frame);
    shown_ = true;
    if (alpha > 0.0) {
        if (window_->isMinimized()) window_->showNormal();
        window_->show();
        window_->raise();
        window_->activateWindow();
    }
    if (contentViewController_ && contentViewController_->isSearching())
        if (QWidget* field = contentViewController_->searchField()) field->setFocus(Qt::OtherFocusReason);
    if (!detached) adjustWindowPosition(true);
    updateWindowMask();
    foundation::NotificationCenter::defaultCenter().post(TLTavloWindowActivatedNotification);

    // A window that could not show, attached while the tray icon is off, is
    // switched to detached for the next show.
    later(kShowFallbackDelay, [this, attached = !detached] {
        auto suite = TLSettings();
        if (window_->isVisible() || suite->boolForKey(TLUserDefaultsShowsMenuBarIcon) || !attached) return;
        suite->setBool(true, TLUserDefaultsWindowIsDetached);
        suite->synchronize();
        setFrame(QRect(QPoint(10, 10), window_->size()));
    });
}

void TLTavloWindowController::close() {
    stopFade();
    stopFrameAnimation();
    shown_ = false;
    window_->hide();
    key_ = false;  // a hidden window has no keyboard; no resign work either
}

bool TLTavloWindowController::windowShouldClose() {
    close();
    return false;
}

void TLTavloWindowController::closeWindow() { fadeOutAndClose(kFadeSeconds); }

void TLTavloWindowController::fadeOutAndClose(double seconds) {
    stopFade();
    // The completion comes only from a fade that ran to its end, not from a stop.
    fade_ = desktop::Animator::animate(
        window_->windowOpacity(), 0.0, seconds, [this](double opacity) { window_->setWindowOpacity(opacity); },
        [this] {
            close();
            alpha_ = 1.0;
            window_->setWindowOpacity(1.0);
        },
        desktop::Animator::Curve::Linear);
}

void TLTavloWindowController::stopFade() {
    if (fade_) fade_->stop();
    fade_.reset();
}

void TLTavloWindowController::toggleApplicationWindow() {
    bool open = isDetached() ? key_ : window_->isVisible();
    if (open) closeWindow();
    else showApplicationWindow();
}

// --- Modes

void TLTavloWindowController::applyConfiguration(bool detached) {
    Qt::WindowFlags flags = (detached ? Qt::Window : Qt::Tool) | Qt::FramelessWindowHint;
    if (!detached || floatSetting() || pastes_ > 0) flags |= Qt::WindowStaysOnTopHint;
    window_->setMovable(detached);
    window_->setResizableEdges(detached ? (Qt::TopEdge | Qt::BottomEdge) : Qt::Edges(Qt::BottomEdge));
    for (TLWindowButton* button : buttons_) button->setVisible(detached);
    if (flags == window_->windowFlags()) return;
    if ((flags & Qt::WindowType_Mask) == (window_->windowFlags() & Qt::WindowType_Mask)) {
        setStaysOnTop(flags.testFlag(Qt::WindowStaysOnTopHint));
        return;
    }
    // A new window type needs the window made anew, which unmaps it: a
    // window on show comes back where it was.
    bool visible = window_->isVisible();
    QRect frame = window_->geometry();
    window_->setWindowFlags(flags);
    window_->setGeometry(frame);
    if (visible) {
        window_->show();
        window_->raise();
        window_->activateWindow();
    }
}

void TLTavloWindowController::setStaysOnTop(bool onTop) {
    Qt::WindowFlags flags = window_->windowFlags();
    flags.setFlag(Qt::WindowStaysOnTopHint, onTop);
    if (flags == window_->windowFlags()) return;
    if (window_->isVisible() && window_->windowHandle()) {
        // Told to the window manager on the mapped window: no unmapping, no flicker.
        window_->overrideWindowFlags(flags);
        window_->windowHandle()->setFlags(flags);
    } else {
        window_->setWindowFlags(flags);
    }
}

void TLTavloWindowController::detachWindow() {
    if (isDetached()) {
        attachWindow();
        return;
    }
    stopFrameAnimation();
    auto suite = TLSettings();
    suite->setBool(true, TLUserDefaultsWindowIsDetached);
    suite->synchronize();
    applyConfiguration(true);
    QRect frame = window_->geometry();
    updateWindowMask();
    updateAppearance();
    // The window drops a little, free of the icon, and stays on its screen.
    QRect dropped = frameOnScreens({double(frame.x()), double(frame.y() + kDetachDrop), double(frame.width()),
                                    double(frame.height())});
    animateFrame(dropped, kModeAnimationSeconds);
}

void TLTavloWindowController::attachWindow() {
    std::optional<QRect> anchor = anchorRect();
    if (!anchor) {
        // No icon to hang under: the window stays detached and on its screen.
        TLInterfaceSound::beep();
        return;
    }
    stopFrameAnimation();
    auto suite = TLSettings();
    suite->setBool(false, TLUserDefaultsWindowIsDetached);
    suite->synchronize();
    applyConfiguration(false);
    QScreen* screen = QGuiApplication::screenAt(anchor->center());
    if (!screen) screen = QGuiApplication::primaryScreen();
    QRect target = attachedFrame(window_->geometry(), *anchor, screen ? screen->geometry() : *anchor);
    arrowBelow_ = target.y() + target.height() <= anchor->y();
    updateWindowMask();
    updateAppearance();
    animateFrame(target, kModeAnimationSeconds);
}

void TLTavloWindowController::toggleFloatingWindow() {
    auto suite = TLSettings();
    bool wasFloating = suite->boolForKey(TLUserDefaultsFloatWindow);
    suite->setBool(!wasFloating, TLUserDefaultsFloatWindow);
    if (isDetached()) setStaysOnTop(!wasFloating || pastes_ > 0);
    suite->synchronize();
}

// --- Placement

std::optional<QRect> TLTavloWindowController::anchorRect() const {
    auto item = statusItem_.lock();
    if (!item) return std::nullopt;
    std::optional<desktop::Rect> anchor = item->anchor();
    if (!anchor) return std::nullopt;
    return QRect(anchor->x, anchor->y, anchor->width, anchor->height);
}

QRect TLTavloWindowController::attachedFrame(const QRect& frame, const QRect& anchor, const QRect& screen) {
    const int width = frame.width();
    const int height = frame.height();
    int x = static_cast<int>(std::lround(anchor.x() + anchor.width() / 2.0 - width / 2.0));
    int top = anchor.y() + anchor.height() + 1;
    const int screenBottom = screen.y() + screen.height();
    // A tray at the screen's bottom: the window stands on it instead.
    if (top + height > screenBottom && anchor.y() - 1 - height >= screen.y()) top = anchor.y() - 1 - height;
    if (x + width > screen.x() + screen.width()) x = screen.x() + screen.width() - width;
    if (x < screen.x()) x = screen.x();
    return QRect(x, top, width, height);
}

void TLTavloWindowController::adjustWindowPosition(bool force) {
    setStaysOnTop(true);
    std::optional<QRect> anchor = anchorRect();
    if (!anchor) return;  // nothing to follow: the window stays where it is
    QScreen* current = window_->screen();
    if (!force && current) {
        QRect area = current->geometry();
        if (anchor->x() < area.x() || anchor->x() >= area.x() + area.width()) return;
    }
    QScreen* screen = QGuiApplication::screenAt(anchor->center());
    if (!screen) screen = current ? current : QGuiApplication::primaryScreen();
    QRect frame = window_->geometry();
    QRect target = attachedFrame(frame, *anchor, screen ? screen->geometry() : frame);
    bool below = target.y() + target.height() <= anchor->y();
    if (target != frame) setFrame(target);
    int arrowX = static_cast<int>(std::lround(anchor->x() + anchor->width() / 2.0 - target.x()));
    if (below != arrowBelow_ || arrowX != arrowX_) {
        arrowBelow_ = below;
        updateWindowMask();
    }
}

void TLTavloWindowController::checkWindowPosition() {
    if (!window_->isVisible() || isDetached()) return;
    later(kTickPlacementDelay, [this] {
        // Detached or closed meanwhile: the window is no longer the icon's.
        if (window_->isVisible() && !isDetached()) adjustWindowPosition(false);
    });
}

QRect TLTavloWindowController::frameOnScreens(const foundation::FrameRect& stored) {
    QScreen* primary = QGuiApplication::primaryScreen();
    QRect primaryArea = primary ? primary->availableGeometry() : QRect(QPoint(0, 0), kFirstFrame.size());
    auto bounded = [](double value) {
        if (!std::isfinite(value)) return 0;
        return static_cast<int>(std::lround(std::clamp(value, -kLargestCoordinate, kLargestCoordinate)));
    };
    QRect frame(bounded(stored.x), bounded(stored.y), bounded(stored.width), bounded(stored.height));
    if (frame.height() <= 0) frame.setHeight(kFirstFrame.height());
    // The screen the frame lies on most; none when it lies on none.
    const QScreen* best = nullptr;
    long long bestArea = 0;
    if (frame.width() > 0) {
        for (const QScreen* screen : QGuiApplication::screens()) {
            QRect common = screen->availableGeometry().intersected(frame);
            long long area = common.isEmpty() ? 0 : static_cast<long long>(common.width()) * common.height();
            if (area > bestArea) {
                bestArea = area;
                best = screen;
            }
        }
    }
    if (!best) return fitInto(kFirstFrame.translated(primaryArea.topLeft()), primaryArea);
    return fitInto(frame, best->availableGeometry());
}

void TLTavloWindowController::setFrame(const QRect& frame) {
    if (frame == window_->geometry() && window_->minimumWidth() == frame.width()) return;
    // The width changes only here, never by a drag of an edge.
    window_->setFixedWidth(frame.width());
    window_->setGeometry(frame);
}

void TLTavloWindowController::animateFrame(const QRect& to, double seconds) {
    stopFrameAnimation();
    QRect from = window_->geometry();
    frameAnimation_ = desktop::Animator::animate(
        0.0, 1.0, seconds, [this, from, to](double t) { setFrame(lerp(from, to, t)); },
        [this, to] { setFrame(to); });
}

void TLTavloWindowController::stopFrameAnimation() {
    if (frameAnimation_) frameAnimation_->stop();
    frameAnimation_.reset();
}

void TLTavloWindowController::zoom() {
    QScreen* screen = window_->screen();
    if (!screen) return;
    QRect area = screen->availableGeometry();
    QRect frame = window_->geometry();
    if (frame.y() == area.y() && frame.height() == area.height() && unzoomedFrame_.isValid()) {
        setFrame(QRect(frame.x(), unzoomedFrame_.y(), frame.width(), unzoomedFrame_.height()));
        unzoomedFrame_ = QRect();
        return;
    }
    unzoomedFrame_ = frame;
    setFrame(QRect(frame.x(), area.y(), frame.width(), area.height()));
}

// --- Mask and appearance

QPainterPath TLTavloWindowController::maskPath(bool detached, const QSize& size, std::optional<double> arrowAt,
                                               bool arrowBelow) {
    const double w = size.width();
    const double h = size.height();
    QPainterPath path;
    path.setFillRule(Qt::OddEvenFill);
    if (detached) {
        path.addRoundedRect(QRectF(0, 0, w, h), kDetachedCornerRadius, kDetachedCornerRadius);
        for (auto kind : {TLWindowButton::Kind::Close, TLWindowButton::Kind::Miniaturize, TLWindowButton::Kind::Zoom})
            path.addEllipse(TLWindowButton::discInFrame(QRectF(TLWindowButton::frameForKind(kind))));
        return path;
    }
    // A 20-wide, 10-high arrow whose base sits on the body's edge.
    // The arrow stays clear of the rounded corners.
    const double inset = kAttachedCornerRadius + 10;
    double arrowX = std::clamp(arrowAt.value_or(w / 2), inset, std::max(inset, w - inset));
    QPainterPath body;
    QPolygonF arrow;
    if (!arrowBelow) {
        body.addRoundedRect(QRectF(0, kArrowHeight, w, h - kArrowHeight), kAttachedCornerRadius, kAttachedCornerRadius);
        arrow << QPointF(arrowX - 10, kArrowHeight) << QPointF(arrowX, 2) << QPointF(arrowX + 10, kArrowHeight);
    } else {
        body.addRoundedRect(QRectF(0, 0, w, h - kArrowHeight), kAttachedCornerRadius, kAttachedCornerRadius);
        arrow << QPointF(arrowX - 10, h - kArrowHeight) << QPointF(arrowX, h - 2)
              << QPointF(arrowX + 10, h - kArrowHeight);
    }
    QPainterPath tip;
    tip.addPolygon(arrow);
    tip.closeSubpath();
    return body.united(tip);
}

QRegion TLTavloWindowController::regionForPath(const QPainterPath& path, const QSize& size) {
    if (size.isEmpty()) return {};
    QBitmap bitmap(size);
    bitmap.fill(Qt::color0);
    QPainter painter(&bitmap);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::color1);
    painter.drawPath(path);
    painter.end();
    return QRegion(bitmap);
}

void TLTavloWindowController::updateWindowMask() {
    QSize size = window_->size();
    if (size.isEmpty()) return;
    bool detached = isDetached();
    // The arrow points at the icon, also when the window is pushed in from
    // the screen's edge.
    std::optional<double> arrowX;
    arrowX_ = size.width() / 2;
    if (!detached) {
        if (auto anchor = anchorRect()) {
            arrowX_ = static_cast<int>(std::lround(anchor->x() + anchor->width() / 2.0 - window_->x()));
            arrowX = arrowX_;
        }
    }
    // The masks are cut anew only when their shape changes: each is a
    // bitmap of the whole window turned into a region.
    MaskShape shape{detached, size, arrowX_, !detached && arrowBelow_};
    if (shape == maskShape_) return;
    maskShape_ = shape;
    QPainterPath path = maskPath(detached, size, arrowX, !detached && arrowBelow_);
    // The content shows through the path, holes and all; the window's own
    // shape has no holes, so its background and the buttons show in them.
    contentView_->setMask(regionForPath(path, size));
    QPainterPath outline = path;
    if (detached) {
        outline = QPainterPath();
        outline.addRoundedRect(QRectF(0, 0, size.width(), size.height()), kDetachedCornerRadius,
                               kDetachedCornerRadius);
    }
    window_->setMask(regionForPath(outline, size));
}

QRegion TLTavloWindowController::windowMask() const { return contentView_->mask(); }

void TLTavloWindowController::updateAppearance() {
    bool dark = TavloKit::isDarkMode();
    QColor background = dark ? NSColorTavloColors::darkClippingsViewBackgroundColor()
                             : NSColorTavloColors::lightClippingsViewBackgroundColor();
    if (titleView_) titleView_->setDarkMode(dark);
    if (headerView_)
        headerView_->setBackgroundColor(dark ? NSColorTavloColors::darkActiveHeaderColor()
                                             : NSColorTavloColors::lightActiveHeaderColor());
    if (auto* body = contentView_->findChild<TLView*>(QStringLiteral("clippingsView")))
        body->setBackgroundColor(background);
    // The window's own colour shows in the holes of the detached mask, behind
    // the buttons: the header's colour while key.
    QColor windowColor = background;
    if (isDetached() && key_)
        windowColor = dark ? NSColorTavloColors::darkActiveHeaderColor() : NSColorTavloColors::lightActiveHeaderColor();
    if (window_->palette().color(QPalette::Window) != windowColor || !window_->autoFillBackground()) {
        QPalette palette = window_->palette();
        palette.setColor(QPalette::Window, windowColor);
        window_->setPalette(palette);
        window_->setAutoFillBackground(true);
    }
}

// --- Frame

void TLTavloWindowController::saveWindowFrame() {
    QRect frame = window_->geometry();
    if (frame.isEmpty()) return;
    std::string text = foundation::FrameString::stringFromRect(
        {double(frame.x()), double(frame.y()), double(frame.width()), double(frame.height())});
    auto suite = TLSettings();
    if (suite->stringForKey(TLUserDefaultsWindowFrame) == text) return;
    suite->setObject(foundation::PlistValue(text), TLUserDefaultsWindowFrame);
    if (saveScheduled_) return;
    saveScheduled_ = true;
    later(kFrameWriteDelay, [this] {
        saveScheduled_ = false;
        TLSettings()->synchronize();
    });
}

void TLTavloWindowController::updateWindowFrame() {
    auto stored = TLSettings()->stringForKey(TLUserDefaultsWindowFrame).value_or("");
    stopFrameAnimation();
    setFrame(frameOnScreens(foundation::FrameString::rectFromString(stored)));
}

void TLTavloWindowController::windowDidResize() {
    saveWindowFrame();
    updateWindowMask();
}

QSize TLTavloWindowController::windowWillResize(const QSize& proposed) const {
    if (proposed.width() == window_->width()) return proposed;
    return QSize(window_->width(), proposed.height());
}

// --- Key status

bool TLTavloWindowController::isInFamily(const QWidget* widget) const {
    if (!widget) return false;
    if (widget->window() == window_.get()) return true;
    // Menus and other pop-ups take the keyboard only for a moment.
    if (widget->window()->windowType() == Qt::Popup) return true;
    if (desktop::Popover::popoverForWidget(widget)) return true;
    // Sheets and alerts over the window: parented to it, or transient for it.
    for (const QWidget* parent = widget->window()->parentWidget(); parent; parent = parent->parentWidget())
        if (parent->window() == window_.get()) return true;
    for (const QWindow* handle = widget->window()->windowHandle(); handle; handle = handle->transientParent())
        if (handle == window_->windowHandle()) return true;
    return false;
}

void TLTavloWindowController::focusChanged() {
    // Judged once the change has settled: a popover or sheet being shown
    // takes the focus before it counts as shown.
    std::weak_ptr<int> alive = lifetime_;
    dispatch::Queue::main()->async([this, alive] {
        if (alive.lock()) updateKeyStatus();
    });
}

void TLTavloWindowController::updateKeyStatus() {
    bool key = window_->isVisible() && isInFamily(widgetOfWindow(QGuiApplication::focusWindow()));
    if (key == key_) return;
    key_ = key;
    if (key) windowDidBecomeKey();
    else windowDidResignKey();
}

void TLTavloWindowController::windowDidBecomeKey() {
    updateAppearance();
    // A non-floating detached window comes to the front once, then sinks as
    // any window does: raising it says as much to the window manager, where
    // a brief stays-on-top would be two more requests for every focus change.
    window_->raise();
    if (preferences_ && preferences_->window()->isVisible()) preferences_->window()->raise();
}

void TLTavloWindowController::windowDidResignKey() {
    updateAppearance();
    auto suite = TLSettings();
    bool floating = suite->boolForKey(TLUserDefaultsFloatWindow) || pastes_ > 0;
    bool detached = suite->boolForKey(TLUserDefaultsWindowIsDetached);
    bool closeDetached = suite->boolForKey(TLUserDefaultsCloseDetachedWindowOnResignKey);
    if (!window_->isVisible() || desktop::Alert::attachedSheet(window_.get()) || floating || !canHideWindow()) return;
    if (detached && !closeDetached) return;
    closeWindow();
}

void TLTavloWindowController::tempResignKey() {
    // Floating while pasting lives here, never in the user's setting, so
    // pastes that overlap or never end leave the setting as it was.
    ++pastes_;
    if (isDetached()) setStaysOnTop(true);
}

void TLTavloWindowController::regainKey() {
    later(0, [this] {
        showApplicationWindow();
        if (pastes_ > 0) --pastes_;
        if (pastes_ == 0 && isDetached()) setStaysOnTop(floatSetting());
    });
}

// --- Dragging clippings out

void TLTavloWindowController::startDragging() {
    if (TLSettings()->integerForKey(TLUserDefaultsDragAction) != 0 && canHideWindow()) {
        stopDragTimer();
        dragTimer_ = std::make_shared<int>(0);
        scheduleDragPoll(dragTimer_);
    }
    startedDragging_ = true;
}

void TLTavloWindowController::scheduleDragPoll(std::weak_ptr<int> timer) {
    later(kDragPollInterval, [this, timer] {
        if (timer.expired()) return;  // stopped meanwhile
        getDraggingCursorLocation();
        if (!timer.expired()) scheduleDragPoll(timer);
    });
}

void TLTavloWindowController::getDraggingCursorLocation() {
    if (!cursorIsOverWindow()) draggedOutOfWindow();
}

bool TLTavloWindowController::cursorIsOverWindow() const { return window_->geometry().contains(QCursor::pos()); }

void TLTavloWindowController::draggedOutOfWindow() {
    stopDragTimer();
    if (canHideWindow()) closeWindow();
}

void TLTavloWindowController::stopDragTimer() { dragTimer_.reset(); }

void TLTavloWindowController::endDragging() {
    stopDragTimer();
    if (TLSettings()->integerForKey(TLUserDefaultsDragAction) == 2 && startedDragging_)
        later(kDragReshowDelay, [this] { showApplicationWindow(); });
    startedDragging_ = false;
}

// --- Keys

bool TLTavloWindowController::keyDown(const QKeyEvent& event) {
    desktop::KeyEvent key = desktop::KeyEvent::fromQKeyEvent(event);
    using K = desktop::KeyEvent;
    switch (key.character()) {
    case K::kEscapeCharacter: close(); return true;
    case u',':
        if (!key.hasExactly(K::kCommandKeyMask)) return false;
        showPreferencesWindow();
        return true;
    case u'W':
        if (!key.hasExactly(K::kCommandKeyMask | K::kShiftKeyMask)) return false;
        toggleFloatingWindow();
        return true;
    case u'q':
        if (!key.hasExactly(K::kCommandKeyMask)) return false;
        QCoreApplication::quit();
        return true;
    case u'w':
        if (!key.hasExactly(K::kCommandKeyMask) || !canHideWindow()) return false;
        close();
        return true;
    default: return false;
    }
}

// --- Other windows

void TLTavloWindowController::showPreferencesWindow(bool syncTab) {
    auto& preferences = preferencesWindowController();
    preferences.showWindow();
    if (syncTab) preferences.selectSyncTab();
}

void TLTavloWindowController::showAboutWindow() { aboutWindowController().showWindow(); }

TLPreferencesWindowController& TLTavloWindowController::preferencesWindowController() {
    if (!preferences_) preferences_ = std::make_unique<TLPreferencesWindowController>();
    return *preferences_;
}

TLAboutWindowController& TLTavloWindowController::aboutWindowController() {
    if (!about_) about_ = std::make_unique<TLAboutWindowController>();
    return *about_;
}

void TLTavloWindowController::later(double seconds, std::function<void()> block) {
    std::weak_ptr<int> alive = lifetime_;
    dispatch::after(seconds, dispatch::Queue::main(), [alive, block = std::move(block)] {
        if (alive.lock()) block();
    });
}
