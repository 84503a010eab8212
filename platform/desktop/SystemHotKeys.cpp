#include "SystemHotKeys.h"

#include <cstdlib>
#include <mutex>

#include "X11SystemHotKeys.h"

namespace desktop {

namespace {

struct Current {
    std::mutex mutex;
    bool looked = false;
    std::shared_ptr<SystemHotKeys> hotKeys;
};

Current& slot() {
    static Current instance;
    return instance;
}

}  // namespace

SystemHotKeys::~SystemHotKeys() = default;

std::shared_ptr<SystemHotKeys> SystemHotKeys::current() {
    Current& s = slot();
    std::lock_guard lock(s.mutex);
    if (!s.looked) {
        s.looked = true;
        if (std::getenv("DISPLAY")) s.hotKeys = X11SystemHotKeys::open();
    }
    return s.hotKeys;
}

void SystemHotKeys::setCurrent(std::shared_ptr<SystemHotKeys> hotKeys) {
    Current& s = slot();
    std::lock_guard lock(s.mutex);
    s.looked = true;
    s.hotKeys = std::move(hotKeys);
}

}  // namespace desktop
