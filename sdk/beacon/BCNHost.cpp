#include "sdk/beacon/BCNHost.h"

#include "platform/foundation/Format.h"

namespace {

// The kits read every sysctl string into a buffer of this size.
constexpr size_t kSysctlBufferSize = 128;

// What the kits report when the host cannot name its version.
constexpr beacon::OSVersion kUnknownOSVersion{10, 0, 0};

}  // namespace

beacon::OSVersion BCNHostGetOSVersion(const beacon::HostFacts& host) {
    return host.operatingSystemVersion().value_or(kUnknownOSVersion);
}

uint32_t BCNHostOSVersionNumberFromVersion(const beacon::OSVersion& version) {
    if (version.majorVersion > 10) return 101100;
    if (version.majorVersion < 10) return 0;
    switch (version.minorVersion) {
        case 6: return 1060;
        case 7: return 1070;
        case 8: return 1080;
        case 9: return 1090;
        case 10: return 101000;
        case 11: return 101100;
        default: return version.minorVersion > 11 ? 101100 : 0;
    }
}

uint32_t BCNHostGetOSVersionNumber(const beacon::HostFacts& host) {
    return BCNHostOSVersionNumberFromVersion(BCNHostGetOSVersion(host));
}

std::string BCNHostGetOSDisplayVersion(const beacon::HostFacts& host) {
    beacon::OSVersion version = BCNHostGetOSVersion(host);
    return foundation::format("%ld.%ld.%ld", version.majorVersion, version.minorVersion, version.patchVersion);
}

std::optional<std::string> BCNHostGetSysctlString(const char* name, const beacon::HostFacts& host) {
    if (!name) return std::nullopt;
    std::optional<std::string> value = host.stringValue(name);
    if (!value || value->size() + 1 > kSysctlBufferSize) return std::nullopt;
    // A C buffer ends the text at its first NUL.
    value->resize(std::char_traits<char>::length(value->c_str()));
    return value;
}

std::optional<std::string> BCNHostGetOSBuildVersion(const beacon::HostFacts& host) {
    return BCNHostGetSysctlString("kern.osversion", host);
}

std::optional<std::string> BCNHostGetModel(const beacon::HostFacts& host) {
    return BCNHostGetSysctlString("hw.model", host);
}
