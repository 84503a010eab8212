#pragma once
// A notification centre that shows nothing and records, in order, each
// delivery ("deliver <title> | <text>", and " | <image>" when it has one) and each removal ("remove all").
#include <string>
#include <vector>

#include "platform/desktop/UserNotificationCenter.h"

namespace testsupport {

class FakeUserNotificationCenter final : public desktop::UserNotificationCenter {
public:
    using desktop::UserNotificationCenter::deliver;
    void deliver(const std::string& title, const std::string& informativeText, const std::string& imagePath) override {
        events.push_back("deliver " + title + " | " + informativeText + (imagePath.empty() ? "" : " | " + imagePath));
    }
    void removeAllDelivered() override { events.push_back("remove all"); }

    std::vector<std::string> events;
};

}  // namespace testsupport
