#pragma once
// The kits' own small key-value store: property-list values kept in memory and
// written, on request, to one XML property-list file,
// $XDG_DATA_HOME/com.blackbox/<escaped bundle identifier>/BBXUserDefaults.plist
// (0600 in 0700 folders), apart from the application's settings. Memory leads;
// the file follows only at synchronize(), which replaces it atomically.
//
// Any thread. One lock guards the values and another the file, always taken in
// that order and never nested the other way: a write of one key and a
// synchronize() from another thread give a file with either the old or the new
// value, never a half-changed dictionary. Each change counts up a generation,
// so a snapshot taken earlier never replaces the file after a later one
// reached it.
//
// No operation fails towards its caller: file trouble goes to the system log
// as "[Beacon:UserDefaults] ..." lines and the values stay in memory.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/PlistValue.h"
#include "platform/foundation/UserDefaults.h"

class BBXUserDefaults {
public:
    static constexpr const char* kFileName = "BBXUserDefaults.plist";
    static constexpr const char* kFolderName = "com.blackbox";
    // Files larger than this are no store of ours and read as unreadable.
    static constexpr size_t kMaxFileBytes = size_t{16} << 20;

    // The one store of the process, made on first use.
    static std::shared_ptr<BBXUserDefaults> standardUserDefaults();

    // A store in directory, loaded from its file now. Keys are taken over from
    // standardDefaults (the standard user defaults when null).
    explicit BBXUserDefaults(std::filesystem::path directory,
                             std::shared_ptr<foundation::UserDefaults> standardDefaults = nullptr);
    BBXUserDefaults(const BBXUserDefaults&) = delete;
    BBXUserDefaults& operator=(const BBXUserDefaults&) = delete;

    // Application Support plus "com.blackbox" plus the escaped bundle identifier.
    static std::filesystem::path generateDirectoryURL();
    static std::filesystem::path generateDirectoryURLForBaseURL(const std::filesystem::path& base,
                                                                const std::optional<std::string>& hostAppBundleIdentifier);
    static std::optional<std::string> getEscapedAppBundleIdentifier();

    const std::filesystem::path& directoryURL() const { return directory_; }
    const std::filesystem::path& fileURL() const { return file_; }

    // Null when absent.
    foundation::PlistValue objectForKey(const std::string& key) const;
    // The value when it is a string.
    std::optional<std::string> stringForKey(const std::string& key) const;
    // The value's truth when it is a number (booleans included), else false.
    bool boolForKey(const std::string& key) const;

    // A null value removes the key. In memory only, until synchronize().
    void setObject(const foundation::PlistValue& value, const std::string& key);
    void setString(const std::string& value, const std::string& key) { setObject(foundation::PlistValue(value), key); }
    void setBool(bool value, const std::string& key) { setObject(foundation::PlistValue(value), key); }
    void removeObjectForKey(const std::string& key) { setObject(foundation::PlistValue(), key); }
    void removeAllObjects();

    foundation::PlistValue::Dictionary dictionaryRepresentation() const;

    // Writes a snapshot of the values to the file, creating the folder when
    // nothing is there. Failures are logged; the answer tells whether the file
    // now holds this snapshot or a later one.
    bool synchronize();

    // Takes the listed keys over from the standard user defaults: the keys that
    // have a value there are set here and written; only once they are written
    // is every listed key removed there. Nothing taken over: nothing touched.
    void migrateFromNSUserDefaults(const std::vector<std::string>& keys);
    // This store's value for key; when it has none, the standard user defaults'
    // value, taken over as above (removed there only after a successful write).
    foundation::PlistValue objectForKeyByMigratingFromNSUserDefaults(const std::string& key);

private:
    std::optional<foundation::PlistValue::Dictionary> loadDefaults();
    std::shared_ptr<foundation::UserDefaults> standardDefaults() const;

    std::filesystem::path directory_;
    std::filesystem::path file_;
    std::shared_ptr<foundation::UserDefaults> standardDefaults_;

    mutable std::mutex access_;  // guards values_ and generation_
    foundation::PlistValue::Dictionary values_;
    uint64_t generation_ = 0;

    std::mutex io_;  // serialises the file's reading and writing; taken after access_, never before
    uint64_t writtenGeneration_ = 0;
    bool written_ = false;
};
