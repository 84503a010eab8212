#include "InterfaceStyle.h"

#include <mutex>

#include "PortalInterfaceStyle.h"

namespace desktop {

namespace {

std::mutex& currentMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<InterfaceStyle>& currentStyle() {
    static std::shared_ptr<InterfaceStyle> style;
    return style;
}

}  // namespace

InterfaceStyle::~InterfaceStyle() = default;

std::shared_ptr<InterfaceStyle> InterfaceStyle::current() {
    std::lock_guard lock(currentMutex());
    if (!currentStyle()) currentStyle() = std::make_shared<PortalInterfaceStyle>();
    return currentStyle();
}

void InterfaceStyle::setCurrent(std::shared_ptr<InterfaceStyle> style) {
    std::lock_guard lock(currentMutex());
    currentStyle() = std::move(style);
}

}  // namespace desktop
