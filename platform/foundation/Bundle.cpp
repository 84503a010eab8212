#include "Bundle.h"

#include <cstdlib>
#include <mutex>
#include <system_error>

#include "Data.h"
#include "PropertyList.h"

namespace foundation {

namespace {

// Info.plist files are small; anything larger is not one.
constexpr size_t kMaxInfoPlistBytes = 1 << 20;

std::mutex& mainMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<Bundle>& mainBundle() {
    static std::shared_ptr<Bundle> bundle;
    return bundle;
}

bool isFile(const std::filesystem::path& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec);
}

bool isBundleFolder(const std::filesystem::path& path) {
    return isFile(path / "Contents" / "Info.plist") || isFile(path / "Info.plist");
}

std::filesystem::path findMainBundlePath() {
    if (const char* env = std::getenv("TAVLO_BUNDLE"); env && env[0]) return env;
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        std::filesystem::path macos = exe.parent_path();
        if (macos.filename() == "MacOS" && macos.parent_path().filename() == "Contents") {
            std::filesystem::path bundle = macos.parent_path().parent_path();
            if (isBundleFolder(bundle)) return bundle;
        }
        std::filesystem::path beside = exe.parent_path() / "Tavlo.app";
        if (isBundleFolder(beside)) return beside;
    }
#ifdef TAVLO_SOURCE_RESOURCES
    return TAVLO_SOURCE_RESOURCES;
#else
    return exe.parent_path();
#endif
}

}  // namespace

std::shared_ptr<Bundle> Bundle::withPath(const std::filesystem::path& path) {
    std::shared_ptr<Bundle> bundle(new Bundle());
    bundle->bundlePath_ = path;
    std::error_code ec;
    bundle->packaged_ = std::filesystem::is_directory(path / "Contents", ec);
    std::filesystem::path infoPath;
    if (bundle->packaged_) {
        bundle->resourcePath_ = path / "Contents" / "Resources";
        infoPath = path / "Contents" / "Info.plist";
    } else {
        bundle->resourcePath_ = path;
        infoPath = path / "Info.plist";
    }
    auto data = Data::contentsOfFile(infoPath, kMaxInfoPlistBytes);
    if (data.ok()) {
        auto info = PropertyList::read(data.value().span());
        if (info.ok() && info.value().asDictionary()) bundle->info_ = std::move(info).value();
    }
    if (!bundle->info_.asDictionary()) bundle->info_ = PlistValue(PlistValue::Dictionary{});
    return bundle;
}

std::shared_ptr<Bundle> Bundle::main() {
    std::lock_guard lock(mainMutex());
    if (!mainBundle()) mainBundle() = withPath(findMainBundlePath());
    return mainBundle();
}

void Bundle::setMainBundlePath(const std::filesystem::path& path) {
    std::lock_guard lock(mainMutex());
    mainBundle() = path.empty() ? nullptr : withPath(path);
}

std::filesystem::path Bundle::executableFolder() const {
    return packaged_ ? bundlePath_ / "Contents" / "MacOS" : std::filesystem::path();
}

PlistValue Bundle::objectForInfoDictionaryKey(const std::string& key) const {
    const PlistValue* value = info_.get(key);
    return value ? *value : PlistValue();
}

std::string Bundle::bundleIdentifier() const {
    const PlistValue* value = info_.get("CFBundleIdentifier");
    return value && value->asString() ? *value->asString() : std::string();
}

std::string Bundle::applicationGroupIdentifier() const {
    const PlistValue* value = info_.get("TLApplicationGroupIdentifier");
    if (value && value->asString() && !value->asString()->empty()) return *value->asString();
    return "group." + bundleIdentifier();
}

std::optional<std::filesystem::path> Bundle::pathForResource(const std::string& name, const std::string& type,
                                                             const std::string& subfolder) const {
    if (name.empty() || name.find('/') != std::string::npos || type.find('/') != std::string::npos) return std::nullopt;
    std::filesystem::path folder = subfolder.empty() ? resourcePath_ : resourcePath_ / subfolder;
    std::filesystem::path candidate = folder / (type.empty() ? name : name + "." + type);
    std::error_code ec;
    if (std::filesystem::exists(candidate, ec)) return candidate;
    return std::nullopt;
}

}  // namespace foundation
