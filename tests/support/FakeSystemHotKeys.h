#pragma once
// System hotkeys held by whatever combinations a test puts in `taken`.

#include <cstdint>
#include <set>
#include <utility>

#include "platform/desktop/SystemHotKeys.h"

namespace testsupport {

class FakeSystemHotKeys : public desktop::SystemHotKeys {
public:
    // (US virtual key code, Carbon modifier flags)
    std::set<std::pair<uint64_t, uint32_t>> taken;
    bool isTaken(uint64_t keyCode, uint32_t carbonFlags) override { return taken.count({keyCode, carbonFlags}) != 0; }
};

}  // namespace testsupport
