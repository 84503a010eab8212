#include "TLPreferencesWindowController.h"

#include <QAction>
#include <QActionGroup>
#include <QKeyEvent>
#include <QLabel>
#include <QStackedWidget>
#include <QStyle>
#include <QToolBar>
#include <QVBoxLayout>

#include <map>

#include "TLWindowCommandKeys.h"

namespace {

using Tab = TLPreferencesWindowController::Tab;

struct TabInfo {
    Tab tab;
    const char* identifier;
    QStyle::StandardPixmap icon;
};

const TabInfo kTabs[] = {
    {Tab::General, "General", QStyle::SP_ComputerIcon},
    {Tab::Appearance, "Appearance", QStyle::SP_DesktopIcon},
    {Tab::Sync, "Sync", QStyle::SP_BrowserReload},
    {Tab::Rules, "Rules", QStyle::SP_FileDialogDetailedView},
    {Tab::Hotkeys, "Hotkeys", QStyle::SP_CommandLink},
    {Tab::Templates, "Templates", QStyle::SP_FileDialogContentsView},
};

std::map<Tab, TLPreferencesWindowController::PaneFactory>& paneFactories() {
    static std::map<Tab, TLPreferencesWindowController::PaneFactory> factories;
    return factories;
}

class PreferencesWindow final : public QWidget {
protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (!TLWindowCommandKeys::handleKeyPress(*this, *event)) QWidget::keyPressEvent(event);
    }
};

}  // namespace

void TLPreferencesWindowController::registerPane(Tab tab, PaneFactory factory) {
    paneFactories()[tab] = std::move(factory);
}

const char* TLPreferencesWindowController::identifierForTab(Tab tab) {
    for (const auto& info : kTabs) {
        if (info.tab == tab) return info.identifier;
    }
    return "";
}

TLPreferencesWindowController::TLPreferencesWindowController() : window_(std::make_unique<PreferencesWindow>()) {
    window_->setObjectName(QStringLiteral("TLPreferencesWindow"));
    window_->setWindowTitle(QStringLiteral("Preferences"));
    auto* layout = new QVBoxLayout(window_.get());
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    toolbar_ = new QToolBar(window_.get());
    toolbar_->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    toolbar_->setMovable(false);
    tabs_ = new QActionGroup(toolbar_);
    tabs_->setExclusive(true);
    for (const auto& info : kTabs) {
        QAction* action = toolbar_->addAction(window_->style()->standardIcon(info.icon), QString::fromLatin1(info.identifier));
        action->setObjectName(QString::fromLatin1(info.identifier));
        action->setCheckable(true);
        tabs_->addAction(action);
        Tab tab = info.tab;
        QObject::connect(action, &QAction::triggered, window_.get(), [this, tab] { selectTab(tab); });
    }
    layout->addWidget(toolbar_);
    stack_ = new QStackedWidget(window_.get());
    layout->addWidget(stack_, 1);
    window_->resize(560, 420);
    windowDidLoad();
}

TLPreferencesWindowController::~TLPreferencesWindowController() = default;

void TLPreferencesWindowController::windowDidLoad() {
    QPalette palette = window_->palette();
    palette.setColor(QPalette::Window, QColor::fromRgbF(0.925f, 0.925f, 0.925f, 1.0f));
    window_->setPalette(palette);
    window_->setAutoFillBackground(true);
    selectGeneralTab();
}

void TLPreferencesWindowController::showWindow() {
    window_->show();
    window_->raise();
    window_->activateWindow();
}

void TLPreferencesWindowController::selectGeneralTab() { selectTab(Tab::General); }
void TLPreferencesWindowController::selectAppearanceTab() { selectTab(Tab::Appearance); }
void TLPreferencesWindowController::selectSyncTab() { selectTab(Tab::Sync); }
void TLPreferencesWindowController::selectRulesTab() { selectTab(Tab::Rules); }
void TLPreferencesWindowController::selectHotkeysTab() { selectTab(Tab::Hotkeys); }
void TLPreferencesWindowController::selectTemplatesTab() { selectTab(Tab::Templates); }

void TLPreferencesWindowController::selectTab(Tab tab) {
    auto index = static_cast<size_t>(tab);
    if (!panes_[index]) {
        std::unique_ptr<QWidget> made;
        auto& factories = paneFactories();
        if (auto it = factories.find(tab); it != factories.end() && it->second) made = it->second();
        if (!made) made = std::make_unique<QWidget>();
        made->setObjectName(QString::fromLatin1(identifierForTab(tab)) + QStringLiteral("Pane"));
        panes_[index] = made.get();
        stack_->addWidget(made.release());
    }
    stack_->setCurrentWidget(panes_[index]);
    if (QAction* action = toolbar_->findChild<QAction*>(QString::fromLatin1(identifierForTab(tab))))
        action->setChecked(true);
    selected_ = tab;
}
