#pragma once
// The downloaded settings document as the kits read it: the JSON file in the
// caches folder, loaded on first read and held as an immutable snapshot until
// cleared. Any thread: a reader keeps the snapshot it was given while the
// download replaces it.
//
// The document comes from a server and sits in a file that may be damaged, so
// it is read by type: text that is no JSON, or JSON whose top level is no
// object, is corrupt (one line, and the file is deleted); an "app" that is no
// object counts as absent, a "status" that is no string as none, and an
// "update_required" that is neither boolean nor number as false.

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/PlistValue.h"

class BCNSettings {
public:
    using Snapshot = std::shared_ptr<const foundation::PlistValue::Dictionary>;

    // Larger files are not read (nothing a settings document holds comes near).
    static constexpr size_t kMaxFileBytes = size_t{16} << 20;

    explicit BCNSettings(std::filesystem::path settingsPath,
                         std::shared_ptr<foundation::Bundle> bundle = foundation::Bundle::main());

    const std::filesystem::path& settingsPath() const { return settingsPath_; }

    // The held document, else the file's; null when there is no file, it cannot
    // be read (tried again at the next read) or it is corrupt (logged as
    // "[Beacon] Could not load settings with error: ..." and deleted).
    Snapshot settingsDictionary();
    // Forgets the held document, so the next read loads the file again.
    void clearSettingsDictionary();

    std::optional<foundation::PlistValue::Dictionary> appSettings();
    std::optional<std::string> appStatus();
    bool appNeedsOnboarding();
    bool appUpdateRequired();

    std::optional<std::string> appBundleIdentifier() const;
    std::string appPlatform() const { return "mac"; }
    std::optional<std::string> appBuildVersion() const;
    std::optional<std::string> appDisplayVersion() const;
    int appSource() const;

private:
    std::filesystem::path settingsPath_;
    std::shared_ptr<foundation::Bundle> bundle_;
    std::mutex mutex_;
    Snapshot held_;
};
