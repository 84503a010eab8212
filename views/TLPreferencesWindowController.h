#pragma once
// The preferences window: a toolbar of six tabs over the pane of the chosen
// one. A pane is made the first time its tab is chosen and kept while the
// controller lives, so reopening the window shows the panes as they were left.
// Panes are registered by the code that provides them, before the window is
// made; a tab without one shows an empty page. Main queue only.
#include <QWidget>

#include <array>
#include <functional>
#include <memory>

class QActionGroup;
class QStackedWidget;
class QToolBar;

class TLPreferencesWindowController {
public:
    enum class Tab { General, Appearance, Sync, Rules, Hotkeys, Templates };
    static constexpr int kTabCount = 6;
    using PaneFactory = std::function<std::unique_ptr<QWidget>()>;

    // Provides the pane of tab for every preferences window made afterwards.
    static void registerPane(Tab tab, PaneFactory factory);
    // The toolbar item identifier of a tab ("General", "Sync", ...).
    static const char* identifierForTab(Tab tab);

    TLPreferencesWindowController();
    ~TLPreferencesWindowController();
    TLPreferencesWindowController(const TLPreferencesWindowController&) = delete;
    TLPreferencesWindowController& operator=(const TLPreferencesWindowController&) = delete;

    QWidget* window() const { return window_.get(); }
    // Shows the window in front and gives it the keyboard.
    void showWindow();

    void selectGeneralTab();
    void selectAppearanceTab();
    void selectSyncTab();
    void selectRulesTab();
    void selectHotkeysTab();
    void selectTemplatesTab();
    Tab selectedTab() const { return selected_; }

    // Each pane, null until its tab was first chosen.
    QWidget* generalPreferencesViewController() const { return pane(Tab::General); }
    QWidget* apperancePreferencesViewController() const { return pane(Tab::Appearance); }
    QWidget* syncPreferencesViewController() const { return pane(Tab::Sync); }
    QWidget* rulesPreferencesViewController() const { return pane(Tab::Rules); }
    QWidget* hotkeyPreferencesViewController() const { return pane(Tab::Hotkeys); }
    QWidget* templatePreferencesViewController() const { return pane(Tab::Templates); }

private:
    void windowDidLoad();
    void selectTab(Tab tab);
    QWidget* pane(Tab tab) const { return panes_[static_cast<size_t>(tab)]; }

    std::unique_ptr<QWidget> window_;
    QToolBar* toolbar_ = nullptr;
    QActionGroup* tabs_ = nullptr;
    QStackedWidget* stack_ = nullptr;
    std::array<QWidget*, kTabCount> panes_{};  // owned by stack_
    Tab selected_ = Tab::General;
};
