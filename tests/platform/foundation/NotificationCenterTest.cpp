#include <gtest/gtest.h>

#include <thread>

#include "platform/foundation/NotificationCenter.h"

using foundation::Notification;
using foundation::NotificationCenter;

TEST(NotificationCenterTest, FiltersByNameAndObject) {
    NotificationCenter center;
    int a = 0, b = 0;
    std::vector<std::string> heard;
    center.addObserver("N", nullptr, [&](const Notification& n) { heard.push_back("any:" + n.name); });
    center.addObserver("N", &a, [&](const Notification&) { heard.push_back("a"); });
    center.addObserver("", &b, [&](const Notification& n) { heard.push_back("b:" + n.name); });
    center.post("N", &a);
    center.post("N", &b);
    center.post("M", &b);
    center.post("M");
    EXPECT_EQ(heard, (std::vector<std::string>{"any:N", "a", "any:N", "b:N", "b:M"}));
}

TEST(NotificationCenterTest, CarriesValuesAndDeliversOnThePostingThread) {
    NotificationCenter center;
    std::thread::id where;
    std::vector<std::string> ids;
    center.addObserver("TLClipboardDidUpdateNotification", nullptr, [&](const Notification& n) {
        where = std::this_thread::get_id();
        if (auto v = n.valueAs<std::vector<std::string>>()) ids = *v;
    });
    std::thread poster([&] {
        Notification n{"TLClipboardDidUpdateNotification", nullptr, std::vector<std::string>{"C-1"}, {}};
        center.post(n);
        EXPECT_EQ(where, std::this_thread::get_id());
    });
    poster.join();
    EXPECT_EQ(ids, std::vector<std::string>{"C-1"});
}

TEST(NotificationCenterTest, RemovalDuringDelivery) {
    NotificationCenter center;
    int owner = 0;
    int first = 0, second = 0, added = 0;
    NotificationCenter::Token secondToken = 0;
    center.addObserver("N", nullptr, [&](const Notification&) {
        ++first;
        center.removeObserver(secondToken);  // removed before its turn: not called
        center.addObserver("N", nullptr, [&](const Notification&) { ++added; });
    });
    secondToken = center.addObserver("N", nullptr, [&](const Notification&) { ++second; });
    center.post("N");
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0);
    EXPECT_EQ(added, 0);  // added during the delivery: hears the next one

    int owned = 0;
    center.addObserver("O", nullptr, [&](const Notification&) { ++owned; }, &owner);
    center.addObserver("P", nullptr, [&](const Notification&) { ++owned; }, &owner);
    center.removeObservers(&owner, "O");
    center.post("O");
    center.post("P");
    EXPECT_EQ(owned, 1);
    center.removeObservers(&owner);
    {
        foundation::ObserverRegistration registration(center, center.addObserver("P", nullptr, [&](const Notification&) { ++owned; }));
        center.post("P");
    }
    center.post("P");
    EXPECT_EQ(owned, 2);
}
