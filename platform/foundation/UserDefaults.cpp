#include "UserDefaults.h"

#include <fcntl.h>
#include <stdio.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Bundle.h"
#include "NotificationCenter.h"
#include "Paths.h"
#include "PropertyList.h"
#include "SystemLog.h"

namespace foundation {

namespace {

// Identifies one version of the settings file: a rename gives a new inode, a
// rewrite in place a new modification time or size.
struct FileStamp {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    int64_t mtimeNanoseconds = 0;
    int64_t ctimeNanoseconds = 0;
    off_t size = 0;

    bool operator==(const FileStamp&) const = default;
};

FileStamp stampOf(const std::filesystem::path& path) {
    FileStamp stamp;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return stamp;
    stamp.exists = true;
    stamp.device = st.st_dev;
    stamp.inode = st.st_ino;
    stamp.mtimeNanoseconds = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
    stamp.ctimeNanoseconds = int64_t{st.st_ctim.tv_sec} * 1000000000 + st.st_ctim.tv_nsec;
    stamp.size = st.st_size;
    return stamp;
}

// Renames a damaged settings file to the first free "<file>.damaged",
// "<file>.damaged 2", ... and says so in the system log.
void moveDamagedFileAside(const std::filesystem::path& file) {
    for (int n = 1; n < 1000; ++n) {
        std::filesystem::path aside = file;
        aside += n == 1 ? std::string(".damaged") : ".damaged " + std::to_string(n);
        if (::renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0) {
            systemLog("The settings file " + file.string() + " could not be read; it was moved to " + aside.string(),
                      SystemLog::Priority::Error);
            return;
        }
        if (errno != EEXIST) break;  // gone already (another process moved it), or not movable
    }
}

struct KeyObserver {
    UserDefaults::Token token;
    std::string key;
    std::function<void(const std::string&)> callback;
};

// Holds an exclusive flock on the suite's side lock file, so processes that
// synchronise the same suite take turns at the read-merge-write.
class FileLock {
public:
    explicit FileLock(const std::filesystem::path& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ >= 0) {
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~FileLock() {
        if (fd_ >= 0) ::close(fd_);  // closing releases the lock
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int fd_ = -1;
};

}  // namespace

struct UserDefaults::Domain {
    std::string name;
    std::filesystem::path file;
    std::mutex mutex;
    PlistValue::Dictionary values;      // the file's values with local changes laid over them
    PlistValue::Dictionary registered;  // volatile defaults
    std::set<std::string> dirty;        // keys changed here and not yet written
    // One write of the file at a time. The write and its flush to the disk run
    // outside mutex, so readers and setters (the main thread's) never wait
    // for the disk; keys set meanwhile stay dirty for the next write.
    std::mutex writeMutex;
    bool writing = false;
    std::set<std::string> setWhileWriting;
    FileStamp stamp;
    std::vector<std::shared_ptr<KeyObserver>> observers;

    bool watched = false;  // a folder watch picks up other processes' writes
    bool loaded = false;   // the file was read once

    // One version of the file as read: its stamp and its settings.
    struct Snapshot {
        FileStamp stamp;
        PlistValue::Dictionary values;
    };

    // Reads the file whose stamp is now; needs no lock. A file that is there
    // but holds no settings dictionary (cut short, binary rubbish, another
    // root, far too large) is moved aside before anything can be written over
    // it, so the user's rules and templates can still be recovered by hand. A
    // file that cannot be opened at all is left where it is and reads as empty.
    static Snapshot readFile(const std::filesystem::path& file, FileStamp now) {
        Snapshot snapshot{now, {}};
        if (!now.exists) return snapshot;
        bool damaged = static_cast<size_t>(now.size) > kMaxFileBytes;
        if (!damaged && now.size > 0) {
            auto data = Data::contentsOfFile(file, kMaxFileBytes);
            if (data.ok()) {
                auto parsed = PropertyList::read(data.value().span());
                if (parsed.ok() && parsed.value().asDictionary())
                    snapshot.values = std::move(*parsed.value().asDictionary());
                else
                    damaged = true;
            }
        }
        if (damaged) {
            moveDamagedFileAside(file);
            snapshot.stamp = stampOf(file);
        }
        return snapshot;
    }

    // Takes a version of the file in, local unwritten changes laid over it.
    // Called with the mutex held; answers the keys whose values changed.
    std::vector<std::string> adoptLocked(Snapshot snapshot) {
        loaded = true;
        stamp = snapshot.stamp;
        PlistValue::Dictionary& fresh = snapshot.values;
        for (const auto& key : dirty) {
            auto it = values.find(key);
            if (it == values.end()) fresh.erase(key);
            else fresh[key] = it->second;
        }
        std::vector<std::string> changed;
        for (const auto& [key, value] : fresh) {
            auto it = values.find(key);
            if (it == values.end() || !(it->second == value)) changed.push_back(key);
        }
        for (const auto& [key, value] : values) {
            if (!fresh.count(key)) changed.push_back(key);
        }
        values = std::move(fresh);
        return changed;
    }

    // Reads the file again when another process replaced it. Called with the
    // mutex held; answers the keys whose values changed.
    std::vector<std::string> refreshLocked() {
        FileStamp now = stampOf(file);
        if (loaded && now == stamp) return {};
        return adoptLocked(readFile(file, now));
    }

    // What a read or a local write checks first: a watched suite's file is read
    // once and after that only by its folder watch.
    std::vector<std::string> refreshUnlessWatchedLocked() {
        if (watched && loaded) return {};
        return refreshLocked();
    }

    // On the watch's worker: reads the file if it is not the version held.
    std::optional<Snapshot> readIfReplaced() {
        FileStamp now = stampOf(file);
        {
            std::lock_guard lock(mutex);
            if (!loaded || now == stamp) return std::nullopt;  // the first read loads it
        }
        return readFile(file, now);
    }

    // Where the watch lays values in: the snapshot unless the file moved on
    // meanwhile (its own event brings the newer version) or was taken already.
    void adoptFromWatch(Snapshot snapshot) {
        std::vector<std::string> changed;
        std::vector<std::shared_ptr<KeyObserver>> targets;
        {
            std::lock_guard lock(mutex);
            if (snapshot.stamp == stamp || !(stampOf(file) == snapshot.stamp)) return;
            changed = adoptLocked(std::move(snapshot));
            targets = observersForLocked(changed);
        }
        announce(changed, std::move(targets));
    }

    std::vector<std::shared_ptr<KeyObserver>> observersForLocked(const std::vector<std::string>& keys) {
        std::vector<std::shared_ptr<KeyObserver>> out;
        if (keys.empty()) return out;
        for (const auto& observer : observers) {
            for (const auto& key : keys) {
                if (observer->key == key) out.push_back(observer);
            }
        }
        return out;
    }

    // Tells observers; called without the mutex so they may read and write.
    void announce(const std::vector<std::string>& keys, std::vector<std::shared_ptr<KeyObserver>> targets) {
        if (keys.empty()) return;
        for (const auto& observer : targets) observer->callback(observer->key);
        Notification notification{kDidChangeNotification, this, {}, {}};
        notification.userInfo["keys"] = keys;
        NotificationCenter::defaultCenter().post(notification);
    }

    // Refreshes and returns the value for key (stored, then registered).
    PlistValue lookup(const std::string& key) {
        std::vector<std::string> changed;
        std::vector<std::shared_ptr<KeyObserver>> targets;
        PlistValue result;
        {
            std::lock_guard lock(mutex);
            changed = refreshUnlessWatchedLocked();
            targets = observersForLocked(changed);
            if (auto it = values.find(key); it != values.end()) result = it->second;
            else if (auto reg = registered.find(key); reg != registered.end()) result = reg->second;
        }
        announce(changed, std::move(targets));
        return result;
    }
};

namespace {

std::mutex& registryMutex() {
    static std::mutex mutex;
    return mutex;
}

// Domains by file path, so a test that moves XDG_CONFIG_HOME gets fresh ones.
std::map<std::filesystem::path, std::shared_ptr<UserDefaults::Domain>>& registry() {
    static auto* domains = new std::map<std::filesystem::path, std::shared_ptr<UserDefaults::Domain>>();
    return *domains;
}

std::atomic<UserDefaults::Token> nextToken{1};

// The installed folder watcher and the watches it keeps, by folder; under the
// registry's mutex.
UserDefaults::FolderWatcher& folderWatcher() {
    static auto* watcher = new UserDefaults::FolderWatcher;
    return *watcher;
}

std::map<std::filesystem::path, std::shared_ptr<void>>& folderWatches() {
    static auto* watches = new std::map<std::filesystem::path, std::shared_ptr<void>>();
    return *watches;
}

// On the watch's worker: reads the folder's replaced files and answers the step
// that lays them in.
std::function<void()> readFolderChange(const std::filesystem::path& folder, const UserDefaults::FolderChange& change) {
    std::vector<std::shared_ptr<UserDefaults::Domain>> domains;
    {
        std::lock_guard lock(registryMutex());
        for (const auto& [file, domain] : registry()) {
            if (file.parent_path() == folder && (change.anyName || change.names.count(file.filename().string())))
                domains.push_back(domain);
        }
    }
    std::vector<std::pair<std::shared_ptr<UserDefaults::Domain>, UserDefaults::Domain::Snapshot>> read;
    for (auto& domain : domains) {
        if (auto snapshot = domain->readIfReplaced()) read.emplace_back(std::move(domain), std::move(*snapshot));
    }
    if (read.empty()) return nullptr;
    return [read = std::move(read)]() mutable {
        for (auto& [domain, snapshot] : read) domain->adoptFromWatch(std::move(snapshot));
    };
}

// Watches the folder of this suite's file when a watcher is installed and none
// watches it yet. Called with the registry's mutex held.
void watchFolderLocked(const std::filesystem::path& folder) {
    if (!folderWatcher()) return;
    auto& watches = folderWatches();
    if (!watches.count(folder)) {
        std::shared_ptr<void> watch;
        if (Paths::createDirectory(folder).ok()) {
            watch = folderWatcher()(folder, [folder](const UserDefaults::FolderChange& change) {
                return readFolderChange(folder, change);
            });
        }
        if (!watch) return;  // reads keep checking the files
        watches[folder] = std::move(watch);
    }
    for (const auto& [file, domain] : registry()) {
        if (file.parent_path() != folder) continue;
        std::lock_guard lock(domain->mutex);
        domain->watched = true;
    }
}

}  // namespace

void UserDefaults::setFolderWatcher(FolderWatcher watcher) {
    std::map<std::filesystem::path, std::shared_ptr<void>> dropped;
    std::lock_guard lock(registryMutex());
    dropped.swap(folderWatches());
    folderWatcher() = std::move(watcher);
    std::set<std::filesystem::path> folders;
    for (const auto& [file, domain] : registry()) {
        std::lock_guard domainLock(domain->mutex);
        domain->watched = false;
        folders.insert(file.parent_path());
    }
    for (const auto& folder : folders) watchFolderLocked(folder);
}

std::shared_ptr<UserDefaults> UserDefaults::suite(const std::string& name) {
    // A suite name becomes a file name: keep it inside the settings folder.
    std::string fileName = name;
    for (char& ch : fileName) {
        if (ch == '/' || ch == '\0') ch = '_';
    }
    if (fileName.empty() || fileName == "." || fileName == "..") fileName = "_" + fileName;
    std::filesystem::path file = Paths::preferences() / (fileName + ".plist");
    std::shared_ptr<Domain> domain;
    {
        std::lock_guard lock(registryMutex());
        auto& slot = registry()[file];
        if (!slot) {
            slot = std::make_shared<Domain>();
            slot->name = name;
            slot->file = file;
            watchFolderLocked(file.parent_path());
        }
        domain = slot;
    }
    return std::shared_ptr<UserDefaults>(new UserDefaults(name, std::move(domain)));
}

std::shared_ptr<UserDefaults> UserDefaults::standard() {
    std::string identifier = Bundle::main()->bundleIdentifier();
    return suite(identifier.empty() ? std::string(Paths::kApplicationFolder) : identifier);
}

std::shared_ptr<UserDefaults> UserDefaults::applicationGroup() {
    return suite(Bundle::main()->applicationGroupIdentifier());
}

void UserDefaults::synchronizeAll() {
    std::vector<std::pair<std::string, std::shared_ptr<Domain>>> domains;
    {
        std::lock_guard lock(registryMutex());
        for (const auto& [file, domain] : registry()) domains.emplace_back(domain->name, domain);
    }
    for (auto& [name, domain] : domains) UserDefaults(name, domain).synchronize();
}

const std::filesystem::path& UserDefaults::filePath() const {
    return domain_->file;
}

const void* UserDefaults::notificationObject() const {
    return domain_.get();
}

PlistValue UserDefaults::objectForKey(const std::string& key) const {
    return domain_->lookup(key);
}

std::optional<std::string> UserDefaults::stringForKey(const std::string& key) const {
    return objectForKey(key).stringValue();
}

int64_t UserDefaults::integerForKey(const std::string& key) const {
    return objectForKey(key).integerValue();
}

double UserDefaults::doubleForKey(const std::string& key) const {
    return objectForKey(key).doubleValue();
}

bool UserDefaults::boolForKey(const std::string& key) const {
    return objectForKey(key).boolValue();
}

std::optional<PlistValue::Array> UserDefaults::arrayForKey(const std::string& key) const {
    PlistValue value = objectForKey(key);
    if (auto* array = value.asArray()) return std::move(*array);
    return std::nullopt;
}

std::optional<std::vector<std::string>> UserDefaults::stringArrayForKey(const std::string& key) const {
    return objectForKey(key).asStringArray();
}

std::optional<PlistValue::Dictionary> UserDefaults::dictionaryForKey(const std::string& key) const {
    PlistValue value = objectForKey(key);
    if (auto* dictionary = value.asDictionary()) return std::move(*dictionary);
    return std::nullopt;
}

std::optional<Data> UserDefaults::dataForKey(const std::string& key) const {
    PlistValue value = objectForKey(key);
    if (auto* data = value.asData()) return *data;
    return std::nullopt;
}

std::optional<Date> UserDefaults::dateForKey(const std::string& key) const {
    PlistValue value = objectForKey(key);
    if (auto* date = value.asDate()) return *date;
    return std::nullopt;
}

void UserDefaults::setObject(const PlistValue& value, const std::string& key) {
    std::vector<std::string> changed;
    std::vector<std::shared_ptr<KeyObserver>> targets;
    {
        std::lock_guard lock(domain_->mutex);
        changed = domain_->refreshUnlessWatchedLocked();
        auto& values = domain_->values;
        auto it = values.find(key);
        bool differs;
        if (value.isNull()) {
            differs = it != values.end();
            if (differs) values.erase(it);
        } else {
            differs = it == values.end() || !(it->second == value);
            values[key] = value;
        }
        if (differs) domain_->dirty.insert(key);  // an unchanged value needs no write
        if (differs && domain_->writing) domain_->setWhileWriting.insert(key);
        if (differs && std::find(changed.begin(), changed.end(), key) == changed.end()) changed.push_back(key);
        targets = domain_->observersForLocked(changed);
    }
    domain_->announce(changed, std::move(targets));
}

void UserDefaults::registerDefaults(const PlistValue::Dictionary& defaults) {
    std::lock_guard lock(domain_->mutex);
    for (const auto& [key, value] : defaults) domain_->registered[key] = value;
}

bool UserDefaults::synchronize() {
    Domain& d = *domain_;
    std::lock_guard writing(d.writeMutex);
    std::vector<std::string> changed;
    std::vector<std::shared_ptr<KeyObserver>> targets;
    bool pending;
    {
        std::lock_guard lock(d.mutex);
        pending = !d.dirty.empty();
    }
    if (!pending || !Paths::createDirectory(d.file.parent_path()).ok()) {
        // Nothing of ours to write (or nowhere to write it): the file is read
        // again when another process replaced it.
        {
            std::lock_guard lock(d.mutex);
            changed = d.refreshLocked();
            targets = d.observersForLocked(changed);
        }
        d.announce(changed, std::move(targets));
        return !pending;
    }
    FileLock fileLock(std::filesystem::path(d.file.string() + ".lock"));
    PlistValue::Dictionary values;
    std::set<std::string> written;
    {
        std::lock_guard lock(d.mutex);
        changed = d.refreshLocked();
        targets = d.observersForLocked(changed);
        values = d.values;
        written = d.dirty;
        d.writing = true;
    }
    auto text = PropertyList::writeXML(PlistValue(std::move(values)));
    const bool ok = text.ok() && Data::fromString(text.value()).writeToFile(d.file, 0600).ok();
    {
        std::lock_guard lock(d.mutex);
        d.writing = false;
        if (ok) {
            for (const auto& key : written)
                if (!d.setWhileWriting.count(key)) d.dirty.erase(key);
            d.stamp = stampOf(d.file);
        }
        d.setWhileWriting.clear();
    }
    d.announce(changed, std::move(targets));
    return ok;
}

PlistValue::Dictionary UserDefaults::dictionaryRepresentation() const {
    std::vector<std::string> changed;
    std::vector<std::shared_ptr<KeyObserver>> targets;
    PlistValue::Dictionary out;
    {
        std::lock_guard lock(domain_->mutex);
        changed = domain_->refreshUnlessWatchedLocked();
        targets = domain_->observersForLocked(changed);
        out = domain_->registered;
        for (const auto& [key, value] : domain_->values) out[key] = value;
    }
    domain_->announce(changed, std::move(targets));
    return out;
}

UserDefaults::Token UserDefaults::addObserver(const std::string& key, std::function<void(const std::string&)> observer) {
    auto entry = std::make_shared<KeyObserver>(KeyObserver{nextToken++, key, std::move(observer)});
    std::lock_guard lock(domain_->mutex);
    domain_->observers.push_back(entry);
    return entry->token;
}

void UserDefaults::removeObserver(Token token) {
    std::lock_guard lock(domain_->mutex);
    std::erase_if(domain_->observers, [&](const auto& o) { return o->token == token; });
}

}  // namespace foundation
