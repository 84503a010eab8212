#pragma once
// A tray item that only remembers what it was told, for tests of the code that
// sets it up; press() and openMenu() stand in for the user.
#include <memory>

#include "platform/desktop/Menu.h"
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
    void setMenu(std::shared_ptr<desktop::Menu> menu) override { menu_ = std::move(menu); }
    desktop::Rect geometry() const override { return iconGeometry; }
    bool isVisibleInTray() const override { return !removed; }
    void remove() override { removed = true; }

    void press() {
        if (action_) action_();
    }
    // The menu as a right press would show it: its hook has just run. Null
    // when the item has no menu.
    std::shared_ptr<desktop::Menu> openMenu() {
        if (menu_) menu_->update();
        return menu_;
    }

    std::string image;
    bool removed = false;
    // Where the tray says the icon is; empty as a tray that does not say.
    desktop::Rect iconGeometry;

private:
    double length_;
    bool disabled_ = false;
    Action action_;
    std::shared_ptr<desktop::Menu> menu_;
};

}  // namespace testsupport
