#pragma once
// The desktop's light or dark preference, presented as the value of the global
// "AppleInterfaceStyle" default: the string "Dark" while the desktop prefers
// dark, absent (null) otherwise. Any thread.
//
// A change is announced on the default notification centre as
// kChangedNotification, on the main thread.

#include <memory>

#include "platform/foundation/PlistValue.h"

namespace desktop {

class InterfaceStyle {
public:
    static constexpr const char* kChangedNotification = "AppleInterfaceThemeChangedNotification";

    virtual ~InterfaceStyle();
    virtual foundation::PlistValue appleInterfaceStyle() const = 0;

    // The style the application reads: the desktop portal's unless replaced
    // (tests hand in a fake). Never null.
    static std::shared_ptr<InterfaceStyle> current();
    static void setCurrent(std::shared_ptr<InterfaceStyle> style);
};

}  // namespace desktop
