#pragma once
// Settings stored as XML property lists under $XDG_CONFIG_HOME/Tavlo/, one file
// per suite: the standard user defaults (named after the bundle identifier) and
// the settings suite the application's processes share. Any thread.
//
// Every handle onto a suite shares one per-process domain, so opening a suite
// afresh for each use is cheap and a write through one handle is seen at once
// through all others. Another process's write is picked up in one of two ways.
// With a folder watcher installed (the application installs one at start-up),
// a watch on the settings folder re-reads a replaced file on a worker and lays
// its values in where the watcher runs that step (the main queue), so no read
// ever parses a file after the suite's first. Without one (tools, tests) each
// read checks whether the file was replaced and, if so, reads it again on the
// reader's thread. Either way keys this process changed and has not yet
// written keep their local values. synchronize() merges the same way, then
// writes the whole file through a temporary file and a rename (mode 0600, in a
// 0700 folder) under a lock shared with other processes, so no writer loses
// another's keys and no reader sees a torn file. A damaged file (no settings
// dictionary in it, or larger than kMaxFileBytes) is moved aside to the first
// free "<file>.damaged" name, with one line in the system log, and the suite
// starts empty; a file that cannot be opened counts as empty.
//
// Values registered with registerDefaults() are volatile: never written, and
// answered only for keys with no stored value.
//
// Key observers and kDidChangeNotification fire on the thread that made the
// change: the writer's, or for another process's write the one the folder
// watcher lays values in on (the main queue), else the reader's that saw it.
// They run without any lock held, so they may read and write settings; an
// observer removed on one thread may still be called once by a change being
// announced on another at that moment.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Data.h"
#include "Date.h"
#include "PlistValue.h"

namespace foundation {

class UserDefaults {
public:
    using Token = uint64_t;

    // Posted on the default notification centre after values changed; its object
    // is the suite's notificationObject().
    static constexpr const char* kDidChangeNotification = "UserDefaultsDidChangeNotification";
    // Settings files larger than this are treated as damaged.
    static constexpr size_t kMaxFileBytes = size_t{64} << 20;

    // The standard user defaults: the suite named after the main bundle's identifier.
    static std::shared_ptr<UserDefaults> standard();
    // The suite with this name ($XDG_CONFIG_HOME/Tavlo/<name>.plist).
    static std::shared_ptr<UserDefaults> suite(const std::string& name);
    // The settings suite the application's processes share (its application group).
    static std::shared_ptr<UserDefaults> applicationGroup();
    // Writes every suite of this process that has unwritten changes (at exit).
    static void synchronizeAll();

    // What a folder watch saw: the file names in the folder that changed, or
    // that any may have (events were lost, or a check after the watch began).
    struct FolderChange {
        bool anyName = false;
        std::set<std::string> names;
    };
    // Reads the changed files again (on the watch's worker) and answers the step
    // that lays their values in and tells the observers, or null for nothing.
    using ReadFolderChange = std::function<std::function<void()>(const FolderChange& change)>;
    // Starts watching a settings folder (it exists) and answers what keeps the
    // watch alive, or null when it cannot be watched (reads then check the file).
    // The watcher calls read on a worker for every change, and once soon after
    // it started, and runs the answered step where observers expect it.
    using FolderWatcher = std::function<std::shared_ptr<void>(const std::filesystem::path& folder, ReadFolderChange read)>;
    // Installs the watcher for every settings folder in use and to come; null
    // drops the watches and reads check the files again.
    static void setFolderWatcher(FolderWatcher watcher);

    const std::string& suiteName() const { return name_; }
    const std::filesystem::path& filePath() const;
    const void* notificationObject() const;

    // The stored value, else the registered one, else null.
    PlistValue objectForKey(const std::string& key) const;
    // Foundation's coercions (see PlistValue): "12" reads as integer 12, an array
    // as 0, a number as its decimal text, and so on; absent keys read 0, NO, nullopt.
    std::optional<std::string> stringForKey(const std::string& key) const;
    int64_t integerForKey(const std::string& key) const;
    double doubleForKey(const std::string& key) const;
    bool boolForKey(const std::string& key) const;
    std::optional<PlistValue::Array> arrayForKey(const std::string& key) const;
    std::optional<std::vector<std::string>> stringArrayForKey(const std::string& key) const;
    std::optional<PlistValue::Dictionary> dictionaryForKey(const std::string& key) const;
    std::optional<Data> dataForKey(const std::string& key) const;
    std::optional<Date> dateForKey(const std::string& key) const;

    // Setting a null value removes the key.
    void setObject(const PlistValue& value, const std::string& key);
    void setInteger(int64_t value, const std::string& key) { setObject(PlistValue(value), key); }
    void setDouble(double value, const std::string& key) { setObject(PlistValue(value), key); }
    void setBool(bool value, const std::string& key) { setObject(PlistValue(value), key); }
    void removeObjectForKey(const std::string& key) { setObject(PlistValue(), key); }

    void registerDefaults(const PlistValue::Dictionary& defaults);
    // Picks up other processes' changes and writes this process's; false when the
    // file could not be written (the changes stay pending for the next try).
    // Reads and settings on other threads never wait for the write or for
    // another process holding the file; what they set meanwhile is written
    // next time.
    bool synchronize();
    // The stored values merged over the registered ones.
    PlistValue::Dictionary dictionaryRepresentation() const;

    // Calls observer with the key whenever key's value changes, through any
    // handle of this process or by another process's write.
    Token addObserver(const std::string& key, std::function<void(const std::string& key)> observer);
    void removeObserver(Token token);

    struct Domain;  // the state shared by the handles of one suite

private:
    UserDefaults(std::string name, std::shared_ptr<Domain> domain) : name_(std::move(name)), domain_(std::move(domain)) {}

    std::string name_;
    std::shared_ptr<Domain> domain_;
};

}  // namespace foundation
