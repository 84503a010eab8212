#pragma once
// An application bundle: a folder with an information property list and
// resources. Two shapes are read: the packaged one,
// "Tavlo.app/Contents/{Info.plist, MacOS/, Resources/}", and a flat folder
// holding Info.plist beside its resources (the source tree's resources/).
// Any thread.
//
// The main bundle is found once, in this order: an explicit setMainBundlePath()
// (tests), the TAVLO_BUNDLE environment variable, the bundle that contains the
// running executable (".../Contents/MacOS/<exe>"), a "Tavlo.app" beside the
// executable, and last the source tree's resources folder, so a test or tool
// run from the build tree still sees the application's Info.plist and resources.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "PlistValue.h"

namespace foundation {

class Bundle {
public:
    // Reads the bundle at path (either shape); a missing or unreadable Info.plist
    // gives an empty information dictionary.
    static std::shared_ptr<Bundle> withPath(const std::filesystem::path& path);
    static std::shared_ptr<Bundle> main();
    // Replaces the main bundle (an empty path forgets it, so it is found again).
    static void setMainBundlePath(const std::filesystem::path& path);

    const std::filesystem::path& bundlePath() const { return bundlePath_; }
    const std::filesystem::path& resourcePath() const { return resourcePath_; }
    // The Contents/MacOS folder of a packaged bundle; empty for a flat one.
    std::filesystem::path executableFolder() const;

    const PlistValue& infoDictionary() const { return info_; }
    // The Info.plist value for key, null when absent.
    PlistValue objectForInfoDictionaryKey(const std::string& key) const;
    // "CFBundleIdentifier", or empty.
    std::string bundleIdentifier() const;
    // The settings suite's name, shared by the application's processes:
    // "TLApplicationGroupIdentifier", else "group." and the bundle identifier.
    std::string applicationGroupIdentifier() const;

    // The file or folder "name.type" (or "name" when type is empty) among the
    // resources, looked up in subfolder when given.
    std::optional<std::filesystem::path> pathForResource(const std::string& name, const std::string& type,
                                                         const std::string& subfolder = {}) const;

private:
    Bundle() = default;

    std::filesystem::path bundlePath_;
    std::filesystem::path resourcePath_;
    bool packaged_ = false;
    PlistValue info_;
};

}  // namespace foundation
