// The preferences and About windows: tabs made on first use, the window keys
// (Ctrl alone with W or Q, Escape with anything), the version text and the log
// folder; and the main window controller that makes and shows them.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include "kit/TLUserDefaultsKeys.h"
#include "logging/TLLog.h"
#include "logging/TLLogFiles.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/NotificationCenter.h"
#include "tests/support/RecordingWorkspace.h"
#include "tests/support/TempHome.h"
#include "views/TLAboutWindowController.h"
#include "views/TLPreferencesWindowController.h"
#include "views/TLTavloWindowController.h"
#include "views/TLTitleView.h"

namespace {

using Tab = TLPreferencesWindowController::Tab;

// The X server's Lock bit, as a key event from a real keyboard carries it.
constexpr quint32 kCapsLock = 0x2;

void press(QWidget& window, int key, Qt::KeyboardModifiers modifiers, quint32 nativeModifiers = 0) {
    QKeyEvent event(QEvent::KeyPress, key, modifiers, 0, 0, nativeModifiers);
    QApplication::sendEvent(&window, &event);
}

bool checked(TLPreferencesWindowController& controller, const char* identifier) {
    auto* action = controller.window()->findChild<QAction*>(QString::fromLatin1(identifier));
    return action && action->isChecked();
}

TEST(PreferencesWindowTest, OpensOnGeneralAndMakesOtherPanesOnlyWhenChosen) {
    int made = 0;
    TLPreferencesWindowController::registerPane(Tab::Rules, [&] {
        ++made;
        return std::make_unique<QLabel>(QStringLiteral("rules"));
    });
    TLPreferencesWindowController controller;
    EXPECT_EQ(controller.selectedTab(), Tab::General);
    EXPECT_TRUE(checked(controller, "General"));
    EXPECT_NE(controller.generalPreferencesViewController(), nullptr);
    EXPECT_EQ(controller.rulesPreferencesViewController(), nullptr);
    EXPECT_EQ(controller.syncPreferencesViewController(), nullptr);
    EXPECT_EQ(made, 0);

    controller.selectRulesTab();
    QWidget* rules = controller.rulesPreferencesViewController();
    ASSERT_NE(rules, nullptr);
    EXPECT_EQ(qobject_cast<QLabel*>(rules)->text(), QStringLiteral("rules"));
    controller.selectGeneralTab();
    controller.selectRulesTab();
    EXPECT_EQ(controller.rulesPreferencesViewController(), rules) << "kept, not made again";
    EXPECT_EQ(made, 1);

    controller.selectSyncTab();
    EXPECT_TRUE(checked(controller, "Sync"));
    EXPECT_FALSE(checked(controller, "Rules"));
    TLPreferencesWindowController::registerPane(Tab::Rules, nullptr);
}

TEST(PreferencesWindowTest, TheWindowKeys) {
    struct Row {
        const char* name;
        int key;
        Qt::KeyboardModifiers modifiers;
        quint32 native;
        bool closes;
    };
    const Row rows[] = {
        {"Ctrl+W", Qt::Key_W, Qt::ControlModifier, 0, true},
        {"Ctrl+Shift+W", Qt::Key_W, Qt::ControlModifier | Qt::ShiftModifier, 0, false},
        {"Ctrl+W with Caps Lock", Qt::Key_W, Qt::ControlModifier, kCapsLock, false},
        {"Ctrl+Alt+W", Qt::Key_W, Qt::ControlModifier | Qt::AltModifier, 0, false},
        {"W", Qt::Key_W, Qt::NoModifier, 0, false},
        {"Escape", Qt::Key_Escape, Qt::NoModifier, 0, true},
        {"Shift+Ctrl+Escape with Caps Lock", Qt::Key_Escape, Qt::ShiftModifier | Qt::ControlModifier, kCapsLock, true},
        {"Ctrl+E", Qt::Key_E, Qt::ControlModifier, 0, false},
    };
    TLPreferencesWindowController preferences;
    TLAboutWindowController about;
    for (QWidget* window : {preferences.window(), about.window()}) {
        for (const Row& row : rows) {
            SCOPED_TRACE(row.name);
            window->show();
            press(*window, row.key, row.modifiers, row.native);
            EXPECT_EQ(!window->isVisible(), row.closes);
        }
    }
}

TEST(PreferencesWindowTest, CtrlQQuitsButNotWithAnotherModifier) {
    TLAboutWindowController about;
    about.showWindow();
    bool plainCtrlQSent = false;
    QTimer::singleShot(0, [&] {
        press(*about.window(), Qt::Key_Q, Qt::ControlModifier | Qt::ShiftModifier);
        press(*about.window(), Qt::Key_Q, Qt::ControlModifier, kCapsLock);
        // Still running 50 ms later: neither of those quit.
        QTimer::singleShot(50, [&] {
            plainCtrlQSent = true;
            press(*about.window(), Qt::Key_Q, Qt::ControlModifier);
        });
        // The loop must end through the key, not this guard.
        QTimer::singleShot(5000, [] { QCoreApplication::exit(7); });
    });
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_TRUE(plainCtrlQSent);
}

TEST(AboutWindowTest, ShowsTheVersionAndOpensTheLogFolder) {
    testsupport::TempHome home;
    testsupport::RecordingWorkspace::Scope workspace;
    TLAboutWindowController about;
    EXPECT_EQ(about.versionLabel()->text(), QStringLiteral("Version 1.0 (1)"));
    EXPECT_EQ(about.titleLabel()->text(), QStringLiteral("Tavlo"));
    // The shipped Info.plist carries no privacy or licence address.
    EXPECT_EQ(about.window()->findChild<QPushButton*>(QStringLiteral("privacyButton")), nullptr);
    EXPECT_EQ(about.window()->findChild<QPushButton*>(QStringLiteral("licensesButton")), nullptr);

    auto* logs = about.window()->findChild<QPushButton*>(QStringLiteral("logsButton"));
    ASSERT_NE(logs, nullptr);
    logs->click();
    ASSERT_EQ(workspace->files.size(), 1u);
    EXPECT_EQ(workspace->files[0], home.dataHome() / "Logs/Tavlo");
    EXPECT_EQ(std::filesystem::path(TLLogFiles::logsDirectoryForContext(TLLogContextSync)).parent_path(),
              workspace->files[0]);
}

TEST(TavloWindowControllerTest, ShowsTheWindowsItIsAskedFor) {
    TLTavloWindowController controller;
    EXPECT_EQ(controller.window()->windowTitle(), QStringLiteral("Tavlo"));
    ASSERT_NE(controller.titleView(), nullptr);
    EXPECT_EQ(controller.titleView()->title(), QStringLiteral("Tavlo"));
    auto& center = foundation::NotificationCenter::defaultCenter();

    center.post(TLShowAboutWindow);
    EXPECT_TRUE(controller.aboutWindowController().window()->isVisible());

    center.post(TLShowPreferencesWindow);
    ASSERT_TRUE(controller.hasPreferencesWindowController());
    auto& preferences = controller.preferencesWindowController();
    EXPECT_TRUE(preferences.window()->isVisible());
    EXPECT_EQ(preferences.selectedTab(), Tab::General);
    preferences.selectRulesTab();

    foundation::Notification toSync{TLShowPreferencesWindow, nullptr, std::string("sync"), {}};
    center.post(toSync);
    EXPECT_EQ(&controller.preferencesWindowController(), &preferences) << "made once";
    EXPECT_EQ(preferences.selectedTab(), Tab::Sync);
    EXPECT_TRUE(checked(preferences, "Sync"));

    controller.close();
    center.post(TLHotkeyShowApplication);
    EXPECT_TRUE(controller.window()->isVisible());
}

TEST(TavloWindowControllerTest, AWindowShownAtAlphaZeroIsNeverMapped) {
    TLTavloWindowController controller;
    controller.showApplicationWindowWithAlpha(0.0);
    EXPECT_TRUE(controller.isWindowShown());
    EXPECT_FALSE(controller.window()->isVisible());
    controller.close();
    EXPECT_FALSE(controller.isWindowShown());
    controller.showApplicationWindow();
    EXPECT_TRUE(controller.window()->isVisible());
    EXPECT_DOUBLE_EQ(controller.window()->windowOpacity(), 1.0);
}

}  // namespace

namespace {

TEST(TavloWindowControllerTest, AFadeClosesTheWindowAtItsEndUnlessAShowEndsItFirst) {
    dispatch::Clock::useVirtualTime(10);
    TLTavloWindowController controller;
    controller.showApplicationWindow();
    controller.fadeOutAndClose(0.15);
    dispatch::Clock::advance(0.1);
    EXPECT_TRUE(controller.window()->isVisible());
    EXPECT_LT(controller.window()->windowOpacity(), 1.0);
    controller.showApplicationWindow();  // ends the fade
    dispatch::Clock::advance(1);
    EXPECT_TRUE(controller.isWindowShown());
    EXPECT_DOUBLE_EQ(controller.window()->windowOpacity(), 1.0);

    controller.fadeOutAndClose(0.15);
    dispatch::Clock::advance(0.2);
    EXPECT_FALSE(controller.isWindowShown());
    EXPECT_FALSE(controller.window()->isVisible());
    EXPECT_DOUBLE_EQ(controller.window()->windowOpacity(), 1.0);
    dispatch::Clock::useRealTime();
}

}  // namespace
