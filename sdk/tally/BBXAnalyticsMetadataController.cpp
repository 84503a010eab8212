#include "sdk/tally/BBXAnalyticsMetadataController.h"

#include <unistd.h>

#include "platform/foundation/Format.h"
#include "platform/foundation/JSON.h"
#include "sdk/beacon/BCNApplication.h"
#include "sdk/beacon/BCNException.h"
#include "sdk/beacon/BCNHost.h"
#include "sdk/beacon/BCNLocaleIdentifier.h"
#include "sdk/beacon/Beacon.h"
#include "sdk/tally/TallyLog.h"

using foundation::PlistValue;
using Controller = BBXAnalyticsMetadataController;

std::shared_ptr<Controller> Controller::initWithTimeStamp(uint64_t timestamp, const std::optional<std::string>& betaToken,
                                                          std::shared_ptr<Beacon> beacon) {
    if (!beacon) beacon = Beacon::sharedSDK();
    beacon->setAdvertisingToken(identifierForAdvertising());
    Dictionary metadata = metadataWithTimeStamp(timestamp, betaToken, beacon->advertisingToken(), *beacon);
    auto json = foundation::JSON::write(PlistValue(metadata));
    if (!json.ok()) {
        tally::debugLog(foundation::format("[Blackbox:Tally] Unable to JSON-encode metadata {error: %@}", json.error()));
        return nullptr;
    }
    return std::shared_ptr<Controller>(new Controller(std::move(metadata), foundation::Data::fromString(json.value())));
}

Controller::Dictionary Controller::metadataWithTimeStamp(uint64_t timestamp, const std::optional<std::string>& betaToken,
                                                         const std::optional<std::string>& adToken, Beacon& beacon) {
    Dictionary d;
    setValueInDictionary(d, "generator", std::optional<std::string>(kGenerator));
    setValueInDictionary(d, "links_ad_support", advertisingSupportFrameworkLinked());
    setValueInDictionary(d, "advertising_tracking_enabled", trackingForAdvertisingEnabled());
    setValueInDictionary(d, "advertising_id", adToken);
    setValueInDictionary(d, "api_key", APIKey(beacon));
    setValueInDictionary(d, "session_id", std::optional<std::string>(sessionIdentifier(beacon)));
    setValueInDictionary(d, "started_at", static_cast<int64_t>(timestamp / 1000));
    setValueInDictionary(d, "vendor_id", hostVendorId());
    setValueInDictionary(d, "install_id", std::optional<std::string>(installationId(beacon)));
    setValueInDictionary(d, "beta_tester_token", unwrapBetaToken(betaToken));
    setValueInDictionary(d, "model", hostModel());
    setValueInDictionary(d, "machine", hostMachine());
    setValueInDictionary(d, "locale", std::optional<std::string>(hostLocale()));
    setValueInDictionary(d, "os_build", hostOSVersion());
    setValueInDictionary(d, "os_version", std::optional<std::string>(hostOSVersionName()));
    setValueInDictionary(d, "platform", std::optional<std::string>(hostPlatform()));
    setValueInDictionary(d, "platform_code", hostPlatformCode());
    setValueInDictionary(d, "cores", hostNumCores());
    setValueInDictionary(d, "jailbroken", hostJailbroken());
    setValueInDictionary(d, "bundle_id", bundleIdentifier());
    setValueInDictionary(d, "bundle_version", bundleVersion());
    setValueInDictionary(d, "bundle_short_version", bundleShortVersion());
    setValueInDictionary(d, "instance_id", instanceIdentifier(beacon));
    return d;
}

std::optional<std::string> Controller::unwrapBetaToken(const std::optional<std::string>& betaToken) {
    if (!betaToken) return std::nullopt;
    size_t colon = betaToken->find(':');
    if (colon == std::string::npos || betaToken->find(':', colon + 1) != std::string::npos) return std::nullopt;
    if (betaToken->compare(0, colon, "2") != 0) return std::nullopt;
    return betaToken->substr(colon + 1);
}

std::optional<std::string> Controller::hostModel() { return BCNHostGetModel(); }
std::string Controller::hostLocale() { return BCNLocaleIdentifier(); }
std::optional<std::string> Controller::hostOSVersion() { return BCNHostGetOSBuildVersion(); }
std::string Controller::hostOSVersionName() { return BCNHostGetOSDisplayVersion(); }

int64_t Controller::hostNumCores() {
    long count = ::sysconf(_SC_NPROCESSORS_ONLN);
    return count > 0 ? count : 1;
}

std::optional<std::string> Controller::bundleIdentifier() { return BCNApplicationGetEscapedBundleIdentifier(); }
std::optional<std::string> Controller::bundleVersion() { return BCNApplicationGetBuildVersion(); }
std::optional<std::string> Controller::bundleShortVersion() { return BCNApplicationGetDisplayVersion(); }

std::optional<std::string> Controller::APIKey(Beacon& beacon) {
    try {
        return beacon.APIKey();
    } catch (const BCNException&) {
        // No key configured: the kits do not run, and the metadata goes without one.
        return std::nullopt;
    }
}

std::string Controller::installationId(Beacon& beacon) { return beacon.installID(); }
std::string Controller::sessionIdentifier(Beacon& beacon) { return beacon.executionIdentifier(); }
std::optional<std::string> Controller::instanceIdentifier(Beacon& beacon) { return beacon.instanceIdentifier(); }

void Controller::setValueInDictionary(Dictionary& dictionary, const std::string& key,
                                      const std::optional<std::string>& object) {
    if (object) dictionary[key] = *object;
}

void Controller::setValueInDictionary(Dictionary& dictionary, const std::string& key, bool flag) { dictionary[key] = flag; }

void Controller::setValueInDictionary(Dictionary& dictionary, const std::string& key, int64_t number) {
    dictionary[key] = number;
}
