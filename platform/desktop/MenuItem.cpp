#include "MenuItem.h"

#include "KeyLabels.h"

namespace desktop {

MenuItem::MenuItem(std::string title, Action action, std::string keyEquivalent)
    : title_(std::move(title)), keyEquivalent_(std::move(keyEquivalent)), action_(std::move(action)) {}

std::shared_ptr<MenuItem> MenuItem::separatorItem() {
    auto item = std::make_shared<MenuItem>();
    item->separator_ = true;
    item->enabled_ = false;
    return item;
}

std::string MenuItem::keyEquivalentLabel() const {
    return desktop::keyEquivalentLabel(keyEquivalent_, keyEquivalentModifierMask_);
}

void MenuItem::performAction() {
    if (enabled_ && action_) action_(*this);
}

}  // namespace desktop
