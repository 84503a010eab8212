#include "Configuration.h"

#include <mutex>

#include "platform/foundation/Data.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/UUID.h"
#include "platform/foundation/UserDefaults.h"

namespace cloud {

Configuration Configuration::read() {
    auto suite = foundation::UserDefaults::suite(kSuiteName);
    Configuration configuration;
    if (auto backend = suite->stringForKey(kBackendKey); backend && !backend->empty()) configuration.backend = *backend;
    configuration.account = suite->stringForKey(kAccountKey).value_or("");
    auto folder = suite->stringForKey(kFolderKey);
    configuration.folder = folder && !folder->empty() ? std::filesystem::path(*folder) : defaultFolder();
    configuration.connection = suite->stringForKey(kConnectionKey).value_or("");
    configuration.assetLimit = suite->integerForKey(kAssetLimitKey);
    if (const double interval = suite->doubleForKey(kPushCheckIntervalKey); interval > 0)
        configuration.pushCheckInterval = interval;
    return configuration;
}

std::filesystem::path Configuration::defaultFolder() {
    return foundation::Paths::dataHome() / foundation::Paths::kApplicationFolder / "Cloud";
}

std::string Configuration::deviceIdentifier() {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    const auto folder = foundation::Paths::dataHome() / foundation::Paths::kApplicationFolder;
    const auto path = folder / "CloudDevice";
    if (auto data = foundation::Data::contentsOfFile(path, 64)) {
        std::string text = data.value().toString();
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
        if (auto uuid = foundation::UUID::parse(text)) return uuid->string();
    }
    const std::string identifier = foundation::UUID::random().string();
    if (foundation::Paths::createDirectory(folder))
        (void)foundation::Data::fromString(identifier + "\n").writeToFile(path, 0600);
    return identifier;
}

}  // namespace cloud
