#include "sdk/beacon/BCNApplication.h"

#include <algorithm>
#include <system_error>

#include "sdk/beacon/BCNHost.h"

namespace {

// The first OS release that knows store receipts.
constexpr uint32_t kFirstReceiptOSVersionNumber = 1070;

const foundation::PlistValue* infoValue(const std::shared_ptr<foundation::Bundle>& bundle, const char* key) {
    if (!bundle) return nullptr;
    return bundle->infoDictionary().get(key);
}

std::optional<std::string> infoText(const std::shared_ptr<foundation::Bundle>& bundle, const char* key) {
    const foundation::PlistValue* value = infoValue(bundle, key);
    return value ? value->stringValue() : std::nullopt;
}

}  // namespace

std::optional<std::string> BCNApplicationGetEscapedBundleIdentifier(const std::shared_ptr<foundation::Bundle>& bundle) {
    std::optional<std::string> identifier = infoText(bundle, "CFBundleIdentifier");
    if (identifier) std::replace(identifier->begin(), identifier->end(), '/', '_');
    return identifier;
}

std::optional<std::string> BCNApplicationGetBuildVersion(const std::shared_ptr<foundation::Bundle>& bundle) {
    return infoText(bundle, "CFBundleVersion");
}

std::optional<std::string> BCNApplicationGetDisplayVersion(const std::shared_ptr<foundation::Bundle>& bundle) {
    return infoText(bundle, "CFBundleShortVersionString");
}

std::optional<std::string> BCNApplicationGetName(const std::shared_ptr<foundation::Bundle>& bundle) {
    if (auto name = infoText(bundle, "CFBundleDisplayName")) return name;
    if (auto name = infoText(bundle, "CFBundleName")) return name;
    return BCNApplicationGetBuildVersion(bundle);
}

bool BCNApplicationHasAppStoreReceipt(const std::shared_ptr<foundation::Bundle>& bundle,
                                      const beacon::HostFacts& host) {
    if (!bundle || BCNHostGetOSVersionNumber(host) < kFirstReceiptOSVersionNumber) return false;
    // A packaged bundle keeps it under Contents, as the store puts it.
    std::filesystem::path contents =
        bundle->executableFolder().empty() ? bundle->bundlePath() : bundle->bundlePath() / "Contents";
    std::error_code ec;
    return std::filesystem::exists(contents / "_MASReceipt" / "receipt", ec);
}

bool BCNApplicationIsSignedForDistribution(const std::shared_ptr<foundation::Bundle>& bundle) {
    const foundation::PlistValue* value = infoValue(bundle, "BlackboxSignedForDistribution");
    return value && value->boolValue();
}

BCNInstallationSource BCNApplicationGetInstallationSource(const std::shared_ptr<foundation::Bundle>& bundle,
                                                          const beacon::HostFacts& host) {
    if (BCNApplicationHasAppStoreReceipt(bundle, host)) return BCNInstallationSourceAppStore;
    if (BCNApplicationIsSignedForDistribution(bundle)) return BCNInstallationSourceSignedForDistribution;
    return BCNInstallationSourceUnknown;
}

bool BCNApplicationCanReportDeviceIdentifiers(const std::shared_ptr<foundation::Bundle>& bundle) {
    // A "Beacon" entry that is not a dictionary holds no setting.
    const foundation::PlistValue* beacon = infoValue(bundle, "Beacon");
    if (beacon) {
        if (const foundation::PlistValue* report = beacon->get("ReportIdentifiers")) return report->boolValue();
    }
    if (const foundation::PlistValue* collect = infoValue(bundle, "BlackboxCollectDeviceIdentifiers"))
        return collect->boolValue();
    return true;
}
