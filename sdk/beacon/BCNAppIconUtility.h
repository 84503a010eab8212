#pragma once
// The application's icon: the PNG among the bundle's resources that
// Info.plist's "CFBundleIconFile" names (with or without its ".png"). No key,
// no file or no PNG: no icon. Made on first read; any thread.

#include <memory>
#include <mutex>

#include "platform/foundation/Bundle.h"
#include "sdk/beacon/BCNIcon.h"

class BCNAppIconUtility {
public:
    // Icons larger than this are not read.
    static constexpr size_t kMaxIconBytes = size_t{8} << 20;

    explicit BCNAppIconUtility(std::shared_ptr<foundation::Bundle> bundle = foundation::Bundle::main());

    std::shared_ptr<const BCNIcon> applicationIcon();

private:
    std::shared_ptr<foundation::Bundle> bundle_;
    std::once_flag once_;
    std::shared_ptr<const BCNIcon> icon_;
};
