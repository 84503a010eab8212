#include "sdk/beacon/BCNAppIconUtility.h"

BCNAppIconUtility::BCNAppIconUtility(std::shared_ptr<foundation::Bundle> bundle) : bundle_(std::move(bundle)) {}

std::shared_ptr<const BCNIcon> BCNAppIconUtility::applicationIcon() {
    std::call_once(once_, [this] {
        if (!bundle_) return;
        foundation::PlistValue iconFile = bundle_->objectForInfoDictionaryKey("CFBundleIconFile");
        const std::string* name = iconFile.asString();
        if (!name || name->empty()) return;
        auto path = bundle_->pathForResource(*name, "");
        if (!path && std::filesystem::path(*name).extension() != ".png") path = bundle_->pathForResource(*name, "png");
        if (!path) return;
        auto bytes = foundation::Data::contentsOfFile(*path, kMaxIconBytes);
        if (bytes.ok()) icon_ = BCNIcon::fromPNGData(std::move(bytes.value()));
    });
    return icon_;
}
