#pragma once
// The session metadata: one JSON object, made once per session, that heads
// every event log file. Keys whose value is missing are left out:
//
//   generator "Tally Mac SDK/1.1.0", links_ad_support false,
//   advertising_tracking_enabled false, api_key, session_id (Beacon's
//   execution identifier), started_at (whole seconds), install_id,
//   beta_tester_token (only for a token "2:<token>"), model and machine (the
//   host model; none on machines without one), locale, os_build (the kernel
//   release), os_version ("12.11.0"), platform "Mac", platform_code 0, cores
//   (online processors), jailbroken false, bundle_id (escaped),
//   bundle_version, bundle_short_version, instance_id.
//
// There are no advertising or vendor identifiers on this system, so
// "advertising_id" and "vendor_id" never appear. Immutable once made; any thread.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Data.h"
#include "platform/foundation/PlistValue.h"

class Beacon;

class BBXAnalyticsMetadataController {
public:
    using Dictionary = foundation::PlistValue::Dictionary;

    static constexpr const char* kGenerator = "Tally Mac SDK/1.1.0";

    // Beacon's values come from beacon (the shared instance when null). Null,
    // logged in debug, when the metadata has no JSON form.
    static std::shared_ptr<BBXAnalyticsMetadataController> initWithTimeStamp(uint64_t timestamp,
                                                                             const std::optional<std::string>& betaToken,
                                                                             std::shared_ptr<Beacon> beacon = nullptr);

    const Dictionary& metadata() const { return metadata_; }
    const foundation::Data& metadataJSONData() const { return metadataJSONData_; }

    static Dictionary metadataWithTimeStamp(uint64_t timestamp, const std::optional<std::string>& betaToken,
                                            const std::optional<std::string>& adToken, Beacon& beacon);
    // "2:<token>" gives <token>; anything else nullopt.
    static std::optional<std::string> unwrapBetaToken(const std::optional<std::string>& betaToken);

    // The host and application facts.
    static std::optional<std::string> hostModel();
    static std::optional<std::string> hostMachine() { return hostModel(); }
    static std::string hostLocale();
    static std::optional<std::string> hostOSVersion();
    static std::string hostOSVersionName();
    static std::string hostPlatform() { return "Mac"; }
    static int64_t hostPlatformCode() { return 0; }
    static int64_t hostNumCores();
    static bool hostJailbroken() { return false; }
    static std::optional<std::string> hostVendorId() { return std::nullopt; }
    static bool trackingForAdvertisingEnabled() { return false; }
    static std::optional<std::string> identifierForAdvertising() { return std::nullopt; }
    static bool advertisingSupportFrameworkLinked() { return false; }
    static std::optional<std::string> bundleIdentifier();
    static std::optional<std::string> bundleVersion();
    static std::optional<std::string> bundleShortVersion();
    // Beacon's values; the API key is missing when Beacon has none.
    static std::optional<std::string> APIKey(Beacon& beacon);
    static std::string installationId(Beacon& beacon);
    static std::string sessionIdentifier(Beacon& beacon);
    static std::optional<std::string> instanceIdentifier(Beacon& beacon);

    static void setValueInDictionary(Dictionary& dictionary, const std::string& key,
                                     const std::optional<std::string>& object);
    static void setValueInDictionary(Dictionary& dictionary, const std::string& key, bool flag);
    static void setValueInDictionary(Dictionary& dictionary, const std::string& key, int64_t number);

private:
    BBXAnalyticsMetadataController(Dictionary metadata, foundation::Data json)
        : metadata_(std::move(metadata)), metadataJSONData_(std::move(json)) {}

    Dictionary metadata_;
    foundation::Data metadataJSONData_;
};
