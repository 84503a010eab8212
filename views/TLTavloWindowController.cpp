#include "TLTavloWindowController.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>

#include <string>

#include "TLAboutWindowController.h"
#include "TLMenubarPanel.h"
#include "TLPreferencesWindowController.h"
#include "TLTitleView.h"
#include "TLView.h"
#include "kit/NSColorTavloColors.h"
#include "kit/TLUserDefaultsKeys.h"
#include "kit/TavloKit.h"
#include "platform/desktop/Animator.h"

namespace {
constexpr QSize kWindowSize{360, 600};
constexpr int kHeaderHeight = 44;
}

TLTavloWindowController::TLTavloWindowController() : window_(std::make_unique<TLMenubarPanel>()) {
    window_->setObjectName(QStringLiteral("TLTavloWindow"));
    window_->setWindowTitle(QStringLiteral("Tavlo"));
    auto* layout = new QVBoxLayout(window_.get());
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    // The panel's header with the name of the history, in the header's colour
    // over the panel's background.
    headerView_ = new TLView(window_.get());
    headerView_->setObjectName(QStringLiteral("headerView"));
    headerView_->setFixedHeight(kHeaderHeight);
    auto* headerLayout = new QVBoxLayout(headerView_);
    headerLayout->setContentsMargins(0, 0, 0, 0);
    titleView_ = new TLTitleView(headerView_);
    titleView_->setObjectName(QStringLiteral("titleView"));
    titleView_->setTitle(QStringLiteral("Tavlo"));
    headerLayout->addWidget(titleView_);
    layout->addWidget(headerView_);
    clippingsView_ = new TLView(window_.get());
    clippingsView_->setObjectName(QStringLiteral("clippingsView"));
    layout->addWidget(clippingsView_, 1);
    updateAppearance();
    window_->resize(kWindowSize);

    auto& center = foundation::NotificationCenter::defaultCenter();
    auto observe = [&](const char* name, std::function<void(const foundation::Notification&)> handler) {
        observers_.emplace_back(center, center.addObserver(name, nullptr, std::move(handler)));
    };
    observe(TLShowPreferencesWindow, [this](const foundation::Notification& notification) {
        auto& preferences = preferencesWindowController();
        preferences.showWindow();
        const std::string* tab = notification.valueAs<std::string>();
        if (tab && *tab == "sync") preferences.selectSyncTab();
    });
    observe(TLShowAboutWindow, [this](const foundation::Notification&) { aboutWindowController().showWindow(); });
    observe(TLHotkeyShowApplication, [this](const foundation::Notification&) { showApplicationWindow(); });
}

TLTavloWindowController::~TLTavloWindowController() {
    stopFade();  // a fade under way holds this controller in its frames
}

void TLTavloWindowController::showApplicationWindow() { showApplicationWindowWithAlpha(1.0); }

void TLTavloWindowController::updateAppearance() {
    bool dark = TavloKit::isDarkMode();
    titleView_->setDarkMode(dark);
    headerView_->setBackgroundColor(dark ? NSColorTavloColors::darkActiveHeaderColor()
                                         : NSColorTavloColors::lightActiveHeaderColor());
    QColor background = dark ? NSColorTavloColors::darkClippingsViewBackgroundColor()
                             : NSColorTavloColors::lightClippingsViewBackgroundColor();
    clippingsView_->setBackgroundColor(background);
    QPalette palette = window_->palette();
    palette.setColor(QPalette::Window, background);
    window_->setPalette(palette);
    window_->setAutoFillBackground(true);
}

void TLTavloWindowController::showApplicationWindowWithAlpha(double alpha) {
    stopFade();  // a show ends any fade under way
    updateAppearance();
    shown_ = true;
    alpha_ = alpha;
    window_->setWindowOpacity(alpha);
    if (alpha <= 0.0) return;
    if (!screen_) {
        screen_ = QGuiApplication::screenAt(QCursor::pos());
        if (!screen_) screen_ = QGuiApplication::primaryScreen();
        if (screen_) {
            QRect area = screen_->availableGeometry();
            window_->move(area.center() - QPoint(window_->width() / 2, window_->height() / 2));
        }
    }
    window_->show();
    window_->raise();
    window_->activateWindow();
}

void TLTavloWindowController::stopFade() {
    if (fade_) fade_->stop();
    fade_.reset();
}

void TLTavloWindowController::close() {
    stopFade();
    shown_ = false;
    screen_ = nullptr;
    window_->hide();
}

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

TLPreferencesWindowController& TLTavloWindowController::preferencesWindowController() {
    if (!preferences_) preferences_ = std::make_unique<TLPreferencesWindowController>();
    return *preferences_;
}

TLAboutWindowController& TLTavloWindowController::aboutWindowController() {
    if (!about_) about_ = std::make_unique<TLAboutWindowController>();
    return *about_;
}
