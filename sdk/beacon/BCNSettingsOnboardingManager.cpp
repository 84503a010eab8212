#include "sdk/beacon/BCNSettingsOnboardingManager.h"

#include "platform/foundation/Paths.h"

namespace {
constexpr const char* kSDKClientIdentifier = "org.beacon.sdk.mac";
}

BCNSettingsOnboardingManager::BCNSettingsOnboardingManager(std::shared_ptr<const BCNApplicationIdentiferModel> model,
                                                           std::shared_ptr<foundation::Bundle> bundle)
    : model_(std::move(model)), bundle_(std::move(bundle)) {}

std::filesystem::path BCNSettingsOnboardingManager::settingsDirectoryPath(
    const std::shared_ptr<foundation::Bundle>& bundle) {
    std::filesystem::path folder = foundation::Paths::caches() / (std::string(kSDKClientIdentifier) + ".data");
    std::string identifier = bundle ? bundle->bundleIdentifier() : std::string();
    // The identifier goes in as it is ("/" makes subfolders), but never one
    // that would climb out of the cache folder.
    std::filesystem::path relative(identifier);
    bool inside = !identifier.empty() && relative.is_relative();
    for (const auto& part : relative) inside = inside && part != ".." && part != ".";
    if (inside) folder /= relative;
    return folder;
}

std::filesystem::path BCNSettingsOnboardingManager::settingsPath() const {
    return settingsDirectoryPath(bundle_) / "settings.json";
}

std::shared_ptr<BCNSettings> BCNSettingsOnboardingManager::settingsModel() {
    std::lock_guard lock(mutex_);
    if (!settings_) settings_ = std::make_shared<BCNSettings>(settingsPath(), bundle_);
    return settings_;
}

std::optional<std::string> BCNSettingsOnboardingManager::APIKey() const {
    std::lock_guard lock(mutex_);
    return APIKey_;
}

BCNSettingsOnboardingManager::KitVersions BCNSettingsOnboardingManager::kitVersionsByKitBundleIdentifier() const {
    std::lock_guard lock(mutex_);
    return kitVersions_;
}

bool BCNSettingsOnboardingManager::hasAttemptedAppConfigure() const {
    std::lock_guard lock(mutex_);
    return hasAttemptedAppConfigure_;
}

void BCNSettingsOnboardingManager::beginSettingsAndOnboardingOperationsWithAPIKey(const std::string& APIKey,
                                                                                  const KitVersions& versions) {
    {
        std::lock_guard lock(mutex_);
        APIKey_ = APIKey;
        kitVersions_ = versions;
    }
    beginSettingsDownload();
}

void BCNSettingsOnboardingManager::beginSettingsDownload() {
    // The download goes out through the kits' network client, which this
    // manager gains with it; until then the cached document is what there is.
}
