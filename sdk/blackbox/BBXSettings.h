#pragma once
// The crash kit's typed view of the downloaded kit settings (Beacon's cached
// settings document, which may be missing) and of its own configuration.
//
// Configuration values (endpoints and the three switches) come from the
// environment variable "Blackbox<key>" first (the override is logged), then
// from the main bundle's Info.plist dictionary "Blackbox", then from the
// defaults. Settings values fall back to their defaults when absent. Prompt
// texts are the settings' "prompt" values, else the defaults; there is no
// localisation table here, so the text stands as it is. Immutable; any thread.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/PlistValue.h"

class BBXSettings {
public:
    using Dictionary = foundation::PlistValue::Dictionary;

    // Nothing reachable without an override or an Info.plist value.
    static constexpr const char* kDefaultReportsEndpoint = "https://reports.invalid";
    static constexpr const char* kDefaultBetaEndpoint = "https://beta.invalid";

    explicit BBXSettings(std::shared_ptr<const Dictionary> settingsDictionary,
                         std::shared_ptr<foundation::Bundle> bundle = foundation::Bundle::main());

    const std::shared_ptr<const Dictionary>& settingsDictionary() const { return settingsDictionary_; }

    // The environment, then Info.plist "Blackbox", then the defaults; null
    // for an unknown key found nowhere.
    foundation::PlistValue valueForConfigurationKey(const std::string& key) const;
    // Info.plist's "Blackbox" dictionary (empty without one).
    Dictionary configuration() const;
    static const Dictionary& defaultConfiguration();

    std::string reportsEndpoint() const;
    std::string betaEndpoint() const;
    bool shouldPackageReports() const;
    bool shouldSubmitReports() const;
    bool canProcessUrgentReports() const;

    bool crashReportingEnabled() const;
    bool errorReportingEnabled() const;
    bool customExceptionsEnabled() const { return errorReportingEnabled(); }
    bool userPromptEnabled() const;
    uint32_t logBufferSize() const;
    uint32_t errorLogBufferSize() const { return logBufferSize(); }
    uint32_t maxCustomExceptions() const;
    uint32_t maxCustomKeys() const;
    double betaSuspendDuration() const;

    std::string interactivePromptTitle() const;
    std::string interactivePromptMessage() const;
    std::string interactivePromptCancelTitle() const;
    std::string interactivePromptSendTitle() const;
    // A settings value of another type than text counts as none.
    std::optional<std::string> interactivePromptAlwaysSendTitle() const;
    std::optional<std::string> promptValueForSettingsKey(const std::string& settingsKey,
                                                         const std::string& defaultValue) const;

private:
    const foundation::PlistValue* settingsValue(const char* group, const char* key) const;
    bool settingsBool(const char* group, const char* key, bool fallback) const;
    uint32_t settingsUnsigned(const char* group, const char* key, uint32_t fallback) const;

    std::shared_ptr<const Dictionary> settingsDictionary_;
    std::shared_ptr<foundation::Bundle> bundle_;
};
