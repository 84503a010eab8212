#pragma once
// A tray item that only remembers what it was told, for tests of the code that
// sets it up; press() and buildMenu() stand in for the user.
#include <QMenu>

#include "platform/desktop/StatusItem.h"

namespace testsupport {

class FakeStatusItem : public desktop::StatusItem {
public:
    explicit FakeStatusItem(double length) : length_(length) {}

    double length() const override { return length_; }
    void setImage(const std::string& path) override { image = path; }
    void setAppearsDisabled(bool disabled) override { disabled_ = disabled; }
    bool appearsDisabled() const override { return disabled_; }
    void setAction(Action action) override { action_ = std::move(action); }
    void setMenuBuilder(MenuBuilder builder) override { builder_ = std::move(builder); }
    desktop::Rect geometry() const override { return {}; }
    bool isVisibleInTray() const override { return !removed; }
    void remove() override { removed = true; }

    void press() {
        if (action_) action_();
    }
    void buildMenu(QMenu& menu) {
        if (builder_) builder_(menu);
    }

    std::string image;
    bool removed = false;

private:
    double length_;
    bool disabled_ = false;
    Action action_;
    MenuBuilder builder_;
};

}  // namespace testsupport
