#include "HKHotKey.h"

namespace {

// Identifiers are never reused, also after a failed registration.
uint32_t nextCarbonID() {
    static uint32_t counter = 0;
    return ++counter;
}

}  // namespace

std::shared_ptr<HKHotKey> HKHotKey::registeredHotKeyWithShortcut(const HKShortcut& shortcut,
                                                                 desktop::HotKeyCenter* center) {
    auto hotKey = std::make_shared<HKHotKey>(shortcut, center);
    return hotKey->hotKeyRef() ? hotKey : nullptr;
}

HKHotKey::HKHotKey(const HKShortcut& shortcut, desktop::HotKeyCenter* center)
    : carbonID_(nextCarbonID()), center_(center) {
    if (!center_) return;
    desktop::HotKeyCenter::Ref ref = 0;
    if (center_->registerHotKey(shortcut.carbonKeyCode(), shortcut.carbonFlags(), {kSignature, carbonID_}, &ref) ==
        desktop::HotKeyCenter::kNoErr)
        hotKeyRef_ = ref;
}

HKHotKey::~HKHotKey() {
    if (hotKeyRef_) center_->unregisterHotKey(hotKeyRef_);
}
