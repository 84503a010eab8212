#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "platform/desktop/Alert.h"

using desktop::Alert;

namespace {

TEST(AlertTest, ASheetSitsBelowItsWindowsTopAndAnswersByButton) {
    QWidget window;
    window.setGeometry(100, 120, 600, 400);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    Alert alert;
    alert.setMessageText("Delete the list?");
    alert.setInformativeText("Its clippings stay in the history.");
    alert.addButtonWithTitle("Delete");
    alert.addButtonWithTitle("Cancel");
    int response = 0;
    alert.beginSheetModalForWindow(&window, [&](int r) { response = r; });
    ASSERT_TRUE(alert.widget());
    ASSERT_TRUE(QTest::qWaitForWindowExposed(alert.widget()));
    EXPECT_EQ(Alert::attachedSheet(&window), &alert);
    EXPECT_EQ(alert.widget()->windowModality(), Qt::WindowModal);
    EXPECT_EQ(alert.widget()->geometry().y(), window.geometry().y() + Alert::kSheetOffset);
    EXPECT_TRUE(Alert::answerShown(1));
    EXPECT_EQ(response, 1001);
    EXPECT_EQ(Alert::attachedSheet(&window), nullptr);
    EXPECT_FALSE(alert.isShowing());
    EXPECT_FALSE(Alert::answerShown(0));
}

TEST(AlertTest, AnApplicationModalAlertBlocksOtherWindows) {
    QWidget other;
    other.setGeometry(0, 0, 200, 100);
    auto* button = new QPushButton("Press", &other);
    button->setGeometry(0, 0, 200, 100);
    int pressed = 0;
    QObject::connect(button, &QPushButton::clicked, [&] { ++pressed; });
    other.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&other));

    Alert alert;
    alert.setAlertStyle(Alert::Style::Critical);
    alert.setMessageText("The key combination Super+Shift+Q cannot be used");
    bool blocked = false;
    QTimer::singleShot(0, [&] {
        blocked = QApplication::activeModalWidget() == alert.widget();
        QTest::mouseClick(other.windowHandle(), Qt::LeftButton, {}, QPoint(50, 50));
        Alert::answerShown(0);
    });
    EXPECT_EQ(alert.runModal(), Alert::kFirstButtonReturn);
    EXPECT_TRUE(blocked);
    EXPECT_EQ(pressed, 0);
    QTest::mouseClick(other.windowHandle(), Qt::LeftButton, {}, QPoint(50, 50));
    EXPECT_EQ(pressed, 1);  // the same click reaches it once the alert is gone
}

class TestHost : public desktop::AlertHost {
public:
    QWidget content;
    int shown = 0, closed = 0;
    QWidget* alertContainer() override { return &content; }
    void alertDidShow(Alert&) override { ++shown; }
    void alertDidClose(Alert&) override { ++closed; }
};

TEST(AlertTest, AnAlertInAHostCoversItsContent) {
    TestHost host;
    host.content.resize(320, 240);
    host.content.show();
    Alert alert;
    alert.setMessageText("Remove the rule?");
    alert.addButtonWithTitle("Remove");
    alert.addButtonWithTitle("Cancel");
    int response = 0;
    alert.beginInHost(host, [&](int r) { response = r; });
    ASSERT_TRUE(alert.widget());
    EXPECT_EQ(alert.widget()->parentWidget(), &host.content);
    EXPECT_FALSE(alert.widget()->isWindow());
    EXPECT_EQ(alert.widget()->geometry(), host.content.rect());
    EXPECT_TRUE(alert.widget()->isVisible());
    EXPECT_EQ(host.shown, 1);
    EXPECT_TRUE(Alert::answerShown(0));
    EXPECT_EQ(response, 1000);
    EXPECT_EQ(host.closed, 1);
}

}  // namespace
