#pragma once
// The desktop's "AppleInterfaceStyle" as a test sets it: any value, or none.

#include <mutex>

#include "platform/desktop/InterfaceStyle.h"

namespace testsupport {

class FakeInterfaceStyle final : public desktop::InterfaceStyle {
public:
    foundation::PlistValue appleInterfaceStyle() const override {
        std::lock_guard lock(mutex_);
        return value_;
    }
    void setAppleInterfaceStyle(foundation::PlistValue value) {
        std::lock_guard lock(mutex_);
        value_ = std::move(value);
    }

private:
    mutable std::mutex mutex_;
    foundation::PlistValue value_;
};

}  // namespace testsupport
