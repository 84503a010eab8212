#pragma once
// Which account this machine's processes use and where it is kept: the
// settings suite "com.tavlo.Tavlo.Cloud", written by the tool tavlo-cloud.
// No account: status 3, and every call answers 9. Any thread.

#include <cstdint>
#include <filesystem>
#include <string>

namespace cloud {

struct Configuration {
    static constexpr const char* kSuiteName = "com.tavlo.Tavlo.Cloud";
    static constexpr const char* kBackendKey = "Backend";
    static constexpr const char* kAccountKey = "Account";
    static constexpr const char* kFolderKey = "Folder";
    static constexpr const char* kConnectionKey = "Connection";
    static constexpr const char* kAssetLimitKey = "AssetLimit";
    static constexpr const char* kPushCheckIntervalKey = "PushCheckInterval";
    static constexpr const char* kEmbeddedBackend = "embedded";
    static constexpr const char* kPostgreSQLBackend = "postgresql";
    // How often a device checks for changes it was not told of, when unset.
    static constexpr double kDefaultPushCheckInterval = 60.0;

    std::string backend = kEmbeddedBackend;
    std::string account;  // empty: no account
    std::filesystem::path folder;
    std::string connection;
    int64_t assetLimit = 0;  // 0: the layer's limit
    double pushCheckInterval = kDefaultPushCheckInterval;

    // The suite as it is now on disk.
    static Configuration read();
    // The folder when the setting is absent: $XDG_DATA_HOME/Tavlo/Cloud.
    static std::filesystem::path defaultFolder();
    // This device's identifier: a UUID kept in $XDG_DATA_HOME/Tavlo/CloudDevice,
    // made on first use.
    static std::string deviceIdentifier();

    bool operator==(const Configuration&) const = default;
};

}  // namespace cloud
