#pragma once
// Holds what the settings download and the application's onboarding work
// from: the application identifier model, the cached settings document, the
// API key and the kits' versions. Made once by the Beacon bootstrap; any thread.
//
// The settings document is cached at
// $XDG_CACHE_HOME/org.beacon.sdk.mac.data/<bundle identifier, unescaped>/settings.json.

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Bundle.h"
#include "sdk/beacon/BCNApplicationIdentiferModel.h"
#include "sdk/beacon/BCNSettings.h"

class BCNSettingsOnboardingManager {
public:
    using KitVersions = std::map<std::string, std::string>;

    // model may be null (the executable could not be read).
    explicit BCNSettingsOnboardingManager(std::shared_ptr<const BCNApplicationIdentiferModel> model,
                                          std::shared_ptr<foundation::Bundle> bundle = foundation::Bundle::main());

    // The folder the settings document is cached in.
    static std::filesystem::path settingsDirectoryPath(const std::shared_ptr<foundation::Bundle>& bundle);
    std::filesystem::path settingsPath() const;

    // Made on first read.
    std::shared_ptr<BCNSettings> settingsModel();
    const std::shared_ptr<const BCNApplicationIdentiferModel>& appIdentifierModel() const { return model_; }

    std::optional<std::string> APIKey() const;
    KitVersions kitVersionsByKitBundleIdentifier() const;
    bool hasAttemptedAppConfigure() const;

    // Keeps the key and the versions, then begins the settings download.
    void beginSettingsAndOnboardingOperationsWithAPIKey(const std::string& APIKey, const KitVersions& versions);
    void beginSettingsDownload();

private:
    std::shared_ptr<const BCNApplicationIdentiferModel> model_;
    std::shared_ptr<foundation::Bundle> bundle_;
    mutable std::mutex mutex_;
    std::shared_ptr<BCNSettings> settings_;
    std::optional<std::string> APIKey_;
    KitVersions kitVersions_;
    bool hasAttemptedAppConfigure_ = false;
};
