#pragma once
// A notification centre that shows nothing and records, in order, each
// delivery ("deliver <title> | <text>") and each removal ("remove all").
#include <string>
#include <vector>

#include "platform/desktop/UserNotificationCenter.h"

namespace testsupport {

class FakeUserNotificationCenter final : public desktop::UserNotificationCenter {
public:
    void deliver(const std::string& title, const std::string& informativeText) override {
        events.push_back("deliver " + title + " | " + informativeText);
    }
    void removeAllDelivered() override { events.push_back("remove all"); }

    std::vector<std::string> events;
};

}  // namespace testsupport
