#include "sdk/beacon/BCNSettings.h"

#include <system_error>

#include "platform/foundation/Data.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/SystemLog.h"
#include "sdk/beacon/BCNApplication.h"

using foundation::PlistValue;

BCNSettings::BCNSettings(std::filesystem::path settingsPath, std::shared_ptr<foundation::Bundle> bundle)
    : settingsPath_(std::move(settingsPath)), bundle_(std::move(bundle)) {}

BCNSettings::Snapshot BCNSettings::settingsDictionary() {
    std::lock_guard lock(mutex_);
    if (held_) return held_;
    auto bytes = foundation::Data::contentsOfFile(settingsPath_, kMaxFileBytes);
    if (!bytes.ok()) return nullptr;
    auto document = foundation::JSON::read(bytes.value().toString());
    std::string failure;
    if (!document.ok()) failure = document.error().localizedDescription();
    else if (!document.value().asDictionary()) failure = "The settings document is not a JSON object.";
    if (!failure.empty()) {
        foundation::systemLog(foundation::format("[Beacon] Could not load settings with error: %@", failure));
        std::error_code ignored;
        std::filesystem::remove(settingsPath_, ignored);
        return nullptr;
    }
    held_ = std::make_shared<const PlistValue::Dictionary>(std::move(*document.value().asDictionary()));
    return held_;
}

void BCNSettings::clearSettingsDictionary() {
    std::lock_guard lock(mutex_);
    held_.reset();
}

std::optional<PlistValue::Dictionary> BCNSettings::appSettings() {
    Snapshot settings = settingsDictionary();
    if (!settings) return std::nullopt;
    auto app = settings->find("app");
    if (app == settings->end() || !app->second.asDictionary()) return std::nullopt;
    return *app->second.asDictionary();
}

std::optional<std::string> BCNSettings::appStatus() {
    auto app = appSettings();
    if (!app) return std::nullopt;
    auto status = app->find("status");
    if (status == app->end() || !status->second.asString()) return std::nullopt;
    return *status->second.asString();
}

bool BCNSettings::appNeedsOnboarding() { return appStatus() == "new"; }

bool BCNSettings::appUpdateRequired() {
    auto app = appSettings();
    if (!app) return false;
    auto required = app->find("update_required");
    return required != app->end() && required->second.isNumber() && required->second.boolValue();
}

std::optional<std::string> BCNSettings::appBundleIdentifier() const { return BCNApplicationGetEscapedBundleIdentifier(bundle_); }
std::optional<std::string> BCNSettings::appBuildVersion() const { return BCNApplicationGetBuildVersion(bundle_); }
std::optional<std::string> BCNSettings::appDisplayVersion() const { return BCNApplicationGetDisplayVersion(bundle_); }
int BCNSettings::appSource() const { return BCNApplicationGetInstallationSource(bundle_); }
