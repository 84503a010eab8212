#include "sdk/blackbox/BBXSettings.h"

#include <cstdlib>
#include <limits>

#include "platform/foundation/Format.h"
#include "platform/foundation/SystemLog.h"

using foundation::PlistValue;

BBXSettings::BBXSettings(std::shared_ptr<const Dictionary> settingsDictionary, std::shared_ptr<foundation::Bundle> bundle)
    : settingsDictionary_(std::move(settingsDictionary)), bundle_(std::move(bundle)) {}

const BBXSettings::Dictionary& BBXSettings::defaultConfiguration() {
    static const Dictionary defaults{
        {"ReportsEndpoint", PlistValue(std::string(kDefaultReportsEndpoint))},
        {"BetaEndpoint", PlistValue(std::string(kDefaultBetaEndpoint))},
        {"PackageReports", PlistValue(true)},
        {"SubmitReports", PlistValue(true)},
        {"UrgentReports", PlistValue(true)},
    };
    return defaults;
}

BBXSettings::Dictionary BBXSettings::configuration() const {
    if (!bundle_) return {};
    PlistValue value = bundle_->objectForInfoDictionaryKey("Blackbox");
    if (const Dictionary* dictionary = value.asDictionary()) return *dictionary;
    return {};
}

PlistValue BBXSettings::valueForConfigurationKey(const std::string& key) const {
    if (const char* environment = std::getenv(("Blackbox" + key).c_str())) {
        foundation::systemLog(foundation::format("[Blackbox:Crash] override: '%@' => '%@'", key, environment));
        return PlistValue(std::string(environment));
    }
    Dictionary configured = configuration();
    if (auto found = configured.find(key); found != configured.end()) return found->second;
    const Dictionary& defaults = defaultConfiguration();
    if (auto found = defaults.find(key); found != defaults.end()) return found->second;
    return PlistValue();
}

std::string BBXSettings::reportsEndpoint() const {
    return valueForConfigurationKey("ReportsEndpoint").stringValue().value_or("");
}
std::string BBXSettings::betaEndpoint() const { return valueForConfigurationKey("BetaEndpoint").stringValue().value_or(""); }
bool BBXSettings::shouldPackageReports() const { return valueForConfigurationKey("PackageReports").boolValue(); }
bool BBXSettings::shouldSubmitReports() const { return valueForConfigurationKey("SubmitReports").boolValue(); }
bool BBXSettings::canProcessUrgentReports() const { return valueForConfigurationKey("UrgentReports").boolValue(); }

const PlistValue* BBXSettings::settingsValue(const char* group, const char* key) const {
    if (!settingsDictionary_) return nullptr;
    auto found = settingsDictionary_->find(group);
    if (found == settingsDictionary_->end()) return nullptr;
    const PlistValue* value = found->second.get(key);
    return value && !value->isNull() ? value : nullptr;
}

bool BBXSettings::settingsBool(const char* group, const char* key, bool fallback) const {
    const PlistValue* value = settingsValue(group, key);
    return value ? value->boolValue() : fallback;
}

uint32_t BBXSettings::settingsUnsigned(const char* group, const char* key, uint32_t fallback) const {
    const PlistValue* value = settingsValue(group, key);
    if (!value) return fallback;
    // A number out of range is cut as an unsigned 32-bit conversion would.
    return static_cast<uint32_t>(value->integerValue());
}

bool BBXSettings::crashReportingEnabled() const { return settingsBool("features", "collect_reports", true); }
bool BBXSettings::errorReportingEnabled() const { return settingsBool("features", "collect_logged_exceptions", true); }
bool BBXSettings::userPromptEnabled() const { return settingsBool("features", "prompt_enabled", false); }
uint32_t BBXSettings::logBufferSize() const { return settingsUnsigned("session", "log_buffer_size", 65536); }
uint32_t BBXSettings::maxCustomExceptions() const { return settingsUnsigned("session", "max_custom_exception_events", 16); }
uint32_t BBXSettings::maxCustomKeys() const { return settingsUnsigned("session", "max_custom_key_value_pairs", 16); }

double BBXSettings::betaSuspendDuration() const {
    const PlistValue* value = settingsValue("beta", "update_suspend_duration");
    return value ? value->doubleValue() : 3600;
}

std::optional<std::string> BBXSettings::promptValueForSettingsKey(const std::string& settingsKey,
                                                                  const std::string& defaultValue) const {
    // A null value (JSON null) is there and is no text: no such button.
    const PlistValue* prompt = settingsDictionary_ && settingsDictionary_->count("prompt")
                                   ? &settingsDictionary_->at("prompt")
                                   : nullptr;
    const PlistValue* value = prompt ? prompt->get(settingsKey) : nullptr;
    if (!value) return defaultValue;
    if (const std::string* text = value->asString()) return *text;
    return std::nullopt;
}

std::string BBXSettings::interactivePromptTitle() const {
    return promptValueForSettingsKey("title", "Send Crash Report?").value_or("Send Crash Report?");
}
std::string BBXSettings::interactivePromptMessage() const {
    static const std::string fallback = "Looks like we crashed! Please help us fix the problem by sending a crash report.";
    return promptValueForSettingsKey("message", fallback).value_or(fallback);
}
std::string BBXSettings::interactivePromptCancelTitle() const {
    return promptValueForSettingsKey("cancel_button_title", "Don't Send").value_or("Don't Send");
}
std::string BBXSettings::interactivePromptSendTitle() const {
    return promptValueForSettingsKey("send_button_title", "Send").value_or("Send");
}
std::optional<std::string> BBXSettings::interactivePromptAlwaysSendTitle() const {
    return promptValueForSettingsKey("always_send_button_title", "Always Send");
}
