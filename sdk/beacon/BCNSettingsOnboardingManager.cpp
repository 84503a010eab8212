#include "sdk/beacon/BCNSettingsOnboardingManager.h"

#include <cstdlib>
#include <utility>

#include "platform/foundation/Format.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/SystemLog.h"
#include "sdk/beacon/BCNApplication.h"
#include "sdk/beacon/BCNDownloadAndSaveSettingsOperation.h"
#include "sdk/beacon/BCNNetworkClient.h"
#include "sdk/beacon/BCNOnboardingOperation.h"
#include "sdk/beacon/BCNPinnedCertificates.h"
#include "sdk/beacon/BCNURLBuilder.h"
#include "sdk/beacon/Beacon.h"

namespace {

constexpr const char* kSDKClientIdentifier = "org.beacon.sdk.mac";

bool debugging() { return Beacon::sharedSDK()->debug(); }

void debugLog(const char* line) {
    if (debugging()) foundation::systemLog(line);
}

}  // namespace

BCNSettingsOnboardingManager::BCNSettingsOnboardingManager(std::shared_ptr<const BCNApplicationIdentiferModel> model,
                                                           std::shared_ptr<foundation::Bundle> bundle)
    : model_(std::move(model)), bundle_(std::move(bundle)), requestTimeout_(BCNNetworkOperation::kDefaultTimeout) {}

BCNSettingsOnboardingManager::~BCNSettingsOnboardingManager() {
    if (networkClient_) networkClient_->invalidateAndCancel();
}

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

std::optional<std::string> BCNSettingsOnboardingManager::valueForConfigurationKey(const std::string& key) const {
    if (const char* value = std::getenv(key.c_str())) return std::string(value);
    foundation::PlistValue configuration = bundle_ ? bundle_->objectForInfoDictionaryKey("Blackbox") : nullptr;
    if (const auto* dictionary = configuration.asDictionary()) {
        auto entry = dictionary->find(key);
        if (entry != dictionary->end() && entry->second.asString()) return *entry->second.asString();
    }
    if (key == "SettingsEndpoint") return std::string(kDefaultSettingsEndpoint);
    if (key == "ConfigureEndpoint") return std::string(kDefaultConfigureEndpoint);
    return std::nullopt;
}

std::string BCNSettingsOnboardingManager::settingsURL() const {
    auto builder = BCNURLBuilder::URLWithBase(valueForConfigurationKey("SettingsEndpoint").value_or(""));
    builder.appendComponent("/spi/v2/platforms/");
    builder.escapeAndAppendComponent("mac");
    builder.appendComponent("/apps/");
    builder.escapeAndAppendComponent(BCNApplicationGetEscapedBundleIdentifier(bundle_).value_or(""));
    builder.appendComponent("/settings");
    builder.appendValue(BCNApplicationGetBuildVersion(bundle_), "build_version");
    builder.appendValue(BCNApplicationGetDisplayVersion(bundle_), "display_version");
    builder.appendValue(model_ ? std::optional<std::string>(model_->instanceIdentifier()) : std::nullopt, "instance");
    const auto& icon = model_ ? model_->icon() : nullptr;
    builder.appendValue(icon ? std::optional<std::string>(icon->dataHash()) : std::nullopt, "icon_hash");
    builder.appendValue(static_cast<int64_t>(BCNApplicationGetInstallationSource(bundle_)), "source");
    return builder.URLString();
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

std::shared_ptr<BCNNetworkClient> BCNSettingsOnboardingManager::networkClient() {
    std::lock_guard lock(mutex_);
    if (!networkClient_ && !sessionFinished_)
        networkClient_ = BCNNetworkClient::create(nullptr, BCNPinnedCertificates());
    return networkClient_;
}

std::optional<std::string> BCNSettingsOnboardingManager::advertisingToken() const {
    return Beacon::sharedSDK()->advertisingToken();
}

void BCNSettingsOnboardingManager::setRequestTimeoutForTesting(double seconds) {
    std::lock_guard lock(mutex_);
    requestTimeout_ = seconds;
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
    auto client = networkClient();
    auto key = APIKey();
    if (!client || !key) return;
    auto operation = std::make_shared<BCNDownloadAndSaveSettingsOperation>(
        *key, weak_from_this(), settingsURL(), settingsDirectoryPath(bundle_), settingsPath(),
        model_ ? model_->installID() : std::string(), advertisingToken(), client, bundle_);
    {
        std::lock_guard lock(mutex_);
        operation->setRequestTimeout(requestTimeout_);
    }
    operation->start();
}

void BCNSettingsOnboardingManager::beginOnboarding(bool create, const std::string& endpointString) {
    auto client = networkClient();
    auto key = APIKey();
    if (!client || !key) return;
    auto operation = std::make_shared<BCNOnboardingOperation>(weak_from_this(), create, *key,
                                                              kitVersionsByKitBundleIdentifier(), model_,
                                                              endpointString, client, bundle_);
    std::shared_ptr<BCNOnboardingOperation> previous;
    {
        std::lock_guard lock(mutex_);
        operation->setRequestTimeout(requestTimeout_);
        previous = std::exchange(onboardingOperation_, operation);
    }
    // The mark only: an operation already running goes on.
    if (previous) previous->cancel();
    operation->start();
}

void BCNSettingsOnboardingManager::finishNetworkingSession() {
    std::shared_ptr<BCNNetworkClient> client;
    {
        std::lock_guard lock(mutex_);
        sessionFinished_ = true;
        client = std::move(networkClient_);
    }
    if (client) client->invalidateAndCancel();
}

void BCNSettingsOnboardingManager::postSettingsDownloadCompletedNotification() {
    debugLog("[Beacon] Settings are available for consumption");
    foundation::NotificationCenter::defaultCenter().post(BCNSettingsAvailableNotification);
}

void BCNSettingsOnboardingManager::operationDidDownloadAndSaveSettingsWithError(
    BCNDownloadAndSaveSettingsOperation&, const std::optional<foundation::Error>& error) {
    if (error) {
        foundation::systemLog(foundation::format("[Beacon] failed to download settings %@", *error));
        finishNetworkingSession();
        return;
    }
    debugLog("[Beacon] settings downloaded successfully");
    auto settings = settingsModel();
    settings->clearSettingsDictionary();
    if (hasAttemptedAppConfigure()) {
        debugLog("[Beacon] App already onboarded in this run of the app");
        postSettingsDownloadCompletedNotification();
        finishNetworkingSession();
        return;
    }
    auto endpoint = valueForConfigurationKey("ConfigureEndpoint").value_or("");
    if (settings->appNeedsOnboarding()) {
        debugLog("[Beacon] Starting onboarding with app create");
        {
            std::lock_guard lock(mutex_);
            hasAttemptedAppConfigure_ = true;
        }
        beginOnboarding(true, endpoint);
        return;
    }
    postSettingsDownloadCompletedNotification();
    if (settings->appUpdateRequired()) {
        debugLog("[Beacon] Starting onboarding with app update");
        {
            std::lock_guard lock(mutex_);
            hasAttemptedAppConfigure_ = true;
        }
        beginOnboarding(false, endpoint);
    } else {
        finishNetworkingSession();
    }
}

void BCNSettingsOnboardingManager::onboardingOperationDidCompleteAppCreationWithError(
    BCNOnboardingOperation&, const std::optional<foundation::Error>& error) {
    if (error) {
        foundation::systemLog(foundation::format("[Beacon] unable to complete application configure: %@", *error));
        finishNetworkingSession();
        return;
    }
    {
        std::lock_guard lock(mutex_);
        onboardingOperation_.reset();
    }
    debugLog("[Beacon] completed configure");
    beginSettingsDownload();
}

void BCNSettingsOnboardingManager::onboardingOperationDidCompleteAppUpdateWithError(
    BCNOnboardingOperation&, const std::optional<foundation::Error>& error) {
    finishNetworkingSession();
    if (error) {
        foundation::systemLog(foundation::format("[Beacon] unable to complete application update: %@", *error));
        return;
    }
    {
        std::lock_guard lock(mutex_);
        onboardingOperation_.reset();
    }
    debugLog("[Beacon] completed application update");
}
