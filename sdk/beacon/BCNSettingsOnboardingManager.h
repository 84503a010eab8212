#pragma once
// The settings download and the application's onboarding, once per run: the
// settings document is downloaded into the cache; when the service does not
// know the application yet ("status" "new") it is registered and the document
// downloaded again; when the service asks for it ("update_required") the
// application's description is refreshed. Once a usable document is in place,
// BCNSettingsAvailableNotification goes out on the default notification
// centre (object null), on the network completion's thread. The flow ends with
// the manager's network client invalidated and let go. Made once by the
// Beacon bootstrap; any thread.
//
// The settings document is cached at
// $XDG_CACHE_HOME/org.beacon.sdk.mac.data/<bundle identifier, unescaped>/settings.json.
//
// Endpoints: the environment variables "SettingsEndpoint" and
// "ConfigureEndpoint", else those keys of Info.plist "Blackbox", else hosts
// that cannot exist (https://settings.invalid, https://configure.invalid), so
// nothing reaches a third party unless a deployment says where to go.

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Bundle.h"
#include "sdk/beacon/BCNApplicationIdentiferModel.h"
#include "sdk/beacon/BCNDownloadAndSaveSettingsOperationDelegate.h"
#include "sdk/beacon/BCNOnboardingOperationDelegate.h"
#include "sdk/beacon/BCNSettings.h"

class BCNNetworkClient;
class BCNOnboardingOperation;

inline constexpr const char* BCNSettingsAvailableNotification = "BCNSettingsAvailableNotification";

class BCNSettingsOnboardingManager : public BCNDownloadAndSaveSettingsOperationDelegate,
                                     public BCNOnboardingOperationDelegate,
                                     public std::enable_shared_from_this<BCNSettingsOnboardingManager> {
public:
    using KitVersions = std::map<std::string, std::string>;

    static constexpr const char* kDefaultSettingsEndpoint = "https://settings.invalid";
    static constexpr const char* kDefaultConfigureEndpoint = "https://configure.invalid";

    // model may be null (the executable could not be read).
    explicit BCNSettingsOnboardingManager(std::shared_ptr<const BCNApplicationIdentiferModel> model,
                                          std::shared_ptr<foundation::Bundle> bundle = foundation::Bundle::main());
    ~BCNSettingsOnboardingManager() override;

    // The folder the settings document is cached in.
    static std::filesystem::path settingsDirectoryPath(const std::shared_ptr<foundation::Bundle>& bundle);
    std::filesystem::path settingsPath() const;
    // The settings address: endpoint, escaped identifier, build and display
    // versions, instance identifier, icon hash (only with an icon) and source.
    std::string settingsURL() const;
    // The environment's value, else Info.plist "Blackbox"'s, else the default.
    std::optional<std::string> valueForConfigurationKey(const std::string& key) const;

    // Made on first read.
    std::shared_ptr<BCNSettings> settingsModel();
    const std::shared_ptr<const BCNApplicationIdentiferModel>& appIdentifierModel() const { return model_; }

    std::optional<std::string> APIKey() const;
    KitVersions kitVersionsByKitBundleIdentifier() const;
    bool hasAttemptedAppConfigure() const;
    // The pinned client of this run's flow, made on first use; null once the
    // flow has ended.
    std::shared_ptr<BCNNetworkClient> networkClient();

    // Keeps the key and the versions, then begins the settings download.
    void beginSettingsAndOnboardingOperationsWithAPIKey(const std::string& APIKey, const KitVersions& versions);
    void beginSettingsDownload();
    void beginOnboarding(bool create, const std::string& endpointString);
    // Cancels what the client still runs, ends its session and lets it go.
    void finishNetworkingSession();
    void postSettingsDownloadCompletedNotification();

    void operationDidDownloadAndSaveSettingsWithError(BCNDownloadAndSaveSettingsOperation& operation,
                                                      const std::optional<foundation::Error>& error) override;
    void onboardingOperationDidCompleteAppCreationWithError(BCNOnboardingOperation& operation,
                                                            const std::optional<foundation::Error>& error) override;
    void onboardingOperationDidCompleteAppUpdateWithError(BCNOnboardingOperation& operation,
                                                          const std::optional<foundation::Error>& error) override;

    // Tests: the requests' time-out in seconds (10 unless set).
    void setRequestTimeoutForTesting(double seconds);

private:
    std::optional<std::string> advertisingToken() const;

    std::shared_ptr<const BCNApplicationIdentiferModel> model_;
    std::shared_ptr<foundation::Bundle> bundle_;
    mutable std::mutex mutex_;
    std::shared_ptr<BCNSettings> settings_;
    std::optional<std::string> APIKey_;
    KitVersions kitVersions_;
    bool hasAttemptedAppConfigure_ = false;
    bool sessionFinished_ = false;
    std::shared_ptr<BCNNetworkClient> networkClient_;
    std::shared_ptr<BCNOnboardingOperation> onboardingOperation_;
    double requestTimeout_;
};
