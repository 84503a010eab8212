// Alerts in popovers, one at a time with the ones they displace kept, and the
// share menu built from the services that take the items.
#include <gtest/gtest.h>

#include <QPushButton>
#include <QTest>

#include "platform/desktop/Alert.h"
#include "views/NSAlertPopover.h"
#include "views/NSSharingServicePickerMenu.h"

using desktop::Alert;

namespace {

std::shared_ptr<Alert> makeAlert(const char* message) {
    auto alert = std::make_shared<Alert>();
    alert->setMessageText(message);
    alert->addButtonWithTitle("Save");
    alert->addButtonWithTitle("Discard");
    return alert;
}

bool shows(const Alert& alert) {
    desktop::Popover* popover = NSAlertPopover::parentPopover(alert);
    return alert.isShowing() && popover && popover->isShown();
}

void press(const Alert& alert, int index) {
    auto* button = alert.widget()->findChild<QPushButton*>(QStringLiteral("alertButton%1").arg(index));
    ASSERT_NE(button, nullptr);
    QTest::mouseClick(button, Qt::LeftButton);
}

class PopoverAlertTest : public ::testing::Test {
protected:
    void SetUp() override {
        window.setGeometry(100, 100, 400, 300);
        first = new QPushButton(QStringLiteral("Save"), &window);
        first->setGeometry(20, 20, 80, 30);
        second = new QPushButton(QStringLiteral("Other"), &window);
        second->setGeometry(200, 20, 80, 30);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    }
    QWidget window;
    QPushButton* first = nullptr;
    QPushButton* second = nullptr;
};

TEST_F(PopoverAlertTest, ALaterAlertDisplacesAnEarlierOneUntilItIsAnswered) {
    auto a = makeAlert("Changes have not been saved.");
    auto b = makeAlert("Another question");
    std::vector<int> aAnswers, bAnswers;
    NSAlertPopover::runAsPopoverForView(a, first, [&](int r) { aAnswers.push_back(r); });
    ASSERT_TRUE(shows(*a));
    QRect anchor(first->mapToGlobal(QPoint(0, 0)), first->size());
    EXPECT_EQ(NSAlertPopover::parentPopover(*a)->window()->geometry().top(), anchor.y() + anchor.height());
    EXPECT_GE(NSAlertPopover::parentPopover(*a)->contentView()->width(), a->widget()->sizeHint().width());

    NSAlertPopover::runAsPopoverForView(b, second, desktop::Popover::Edge::MinY, [&](int r) { bAnswers.push_back(r); });
    EXPECT_FALSE(shows(*a));
    EXPECT_TRUE(shows(*b));
    EXPECT_TRUE(aAnswers.empty());

    QTest::mouseClick(&window, Qt::LeftButton, {}, QPoint(390, 290));
    EXPECT_TRUE(shows(*b)) << "a press outside leaves an alert's popover open";

    press(*b, 1);
    EXPECT_EQ(bAnswers, std::vector<int>{1001});
    EXPECT_FALSE(shows(*b));
    ASSERT_TRUE(shows(*a)) << "the displaced alert comes back";
    press(*a, 0);
    EXPECT_EQ(aAnswers, std::vector<int>{1000});
    EXPECT_FALSE(shows(*a));
    EXPECT_EQ(bAnswers.size(), 1u);
}

TEST_F(PopoverAlertTest, AnAlertForAViewInNoWindowShowsNothingYetDisplaces) {
    auto a = makeAlert("First");
    auto lost = makeAlert("For nowhere");
    int aAnswers = 0, lostAnswers = 0;
    NSAlertPopover::runAsPopoverForView(a, first, [&](int) { ++aAnswers; });
    ASSERT_TRUE(shows(*a));
    QWidget nowhere;
    NSAlertPopover::runAsPopoverForView(lost, &nowhere, [&](int) { ++lostAnswers; });
    EXPECT_FALSE(shows(*a));
    EXPECT_FALSE(lost->isShowing());

    NSAlertPopover::checkForPreviouslyShownAlerts();
    ASSERT_TRUE(shows(*a));
    press(*a, 0);
    EXPECT_EQ(aAnswers, 1);
    EXPECT_EQ(lostAnswers, 0);
}

TEST(SharingMenuTest, ListsTheServicesOrNothing) {
    EXPECT_EQ(NSSharingServicePickerMenu::menuForSharingItems({}, {}, {}), nullptr);

    int performed = 0;
    std::shared_ptr<desktop::SharingService> chosen;
    auto delegate = std::make_shared<desktop::SharingServiceDelegate>();
    auto menu = NSSharingServicePickerMenu::menuForSharingItems(
        {desktop::SharingItem::withText("hello")},
        [&](desktop::MenuItem& sender) {
            ++performed;
            chosen = std::any_cast<std::shared_ptr<desktop::SharingService>>(sender.representedObject());
        },
        delegate);
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(menu->title(), "SharingMenu");
    ASSERT_EQ(menu->numberOfItems(), 3);
    EXPECT_EQ(menu->itemAtIndex(0)->title(), desktop::SharingServices::kEmail);
    EXPECT_TRUE(menu->itemAtIndex(0)->keyEquivalent().empty());
    menu->itemAtIndex(2)->performAction();
    EXPECT_EQ(performed, 1);
    ASSERT_TRUE(chosen);
    EXPECT_EQ(chosen->title(), desktop::SharingServices::kOpenWithDefaultApplication);
    EXPECT_EQ(chosen->delegate(), delegate);
}

}  // namespace
