#include "LKLogFileInfo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>

#include "LKLogFileDateFormatter.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/SystemLog.h"

namespace {

using logging::Timestamp;

std::mutex& providerMutex() {
    static std::mutex mutex;
    return mutex;
}

std::function<Timestamp()>& provider() {
    static std::function<Timestamp()> p;
    return p;
}

std::string xattrName(const std::string& name) {
    if (name.rfind("user.", 0) == 0 || name.rfind("trusted.", 0) == 0 || name.rfind("security.", 0) == 0 ||
        name.rfind("system.", 0) == 0)
        return name;
    return "user." + name;
}

// File systems without user extended attributes (older tmpfs, some network
// mounts) keep the marks here for the life of the process, so a rolled file
// still counts as archived and the next line goes to a new file.
class MemoryAttributes {
public:
    static MemoryAttributes& shared() {
        static auto* attributes = new MemoryAttributes;
        return *attributes;
    }
    bool has(const std::string& path, const std::string& name) {
        std::lock_guard lock(mutex_);
        return marks_.count(key(path, name)) > 0;
    }
    void set(const std::string& path, const std::string& name, bool on) {
        std::lock_guard lock(mutex_);
        if (on) marks_.insert(key(path, name));
        else marks_.erase(key(path, name));
    }

private:
    static std::string key(const std::string& path, const std::string& name) { return path + '\0' + name; }
    std::mutex mutex_;
    std::set<std::string> marks_;
};

bool unsupported(int error) { return error == ENOTSUP || error == EOPNOTSUPP; }

Timestamp fromStatx(const statx_timestamp& t) {
    using namespace std::chrono;
    return Timestamp(duration_cast<system_clock::duration>(seconds(t.tv_sec) + nanoseconds(t.tv_nsec)));
}

// The minute in a log file name: "<app> yyyy-MM-dd HH-mm[ n].log".
std::optional<Timestamp> dateInName(std::string name) {
    if (name.size() >= 4 && name.compare(name.size() - 4, 4, ".log") == 0) name.resize(name.size() - 4);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (name.size() >= 16)
            if (auto date = LKLogFileDateFormatter::dateFromString(std::string_view(name).substr(name.size() - 16)))
                return date;
        auto blank = name.rfind(' ');
        if (blank == std::string::npos) break;
        name.resize(blank);
    }
    return std::nullopt;
}

std::string isoDate(std::optional<Timestamp> date) {
    if (!date) return {};
    std::time_t seconds = std::chrono::system_clock::to_time_t(*date);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S +0000", &tm);
    return text;
}

// NSDictionary-style text of one value: quoted unless it is a plain word.
std::string dictionaryValue(const std::string& value) {
    bool plain = !value.empty();
    for (char c : value)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.')) plain = false;
    if (plain) return value;
    std::string out = "\"";
    for (char c : value) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string errorText(int error) { return std::strerror(error); }

foundation::Error posixError(int error) { return foundation::Error("NSPOSIXErrorDomain", error, errorText(error)); }

}  // namespace

std::string LKLogFileInfo::Attributes::description() const {
    if (!exists) return "{}";
    char mode[8];
    std::snprintf(mode, sizeof mode, "%o", unsigned(permissions));
    return "{NSFileCreationDate = " + dictionaryValue(isoDate(creationDate)) +
           "; NSFileModificationDate = " + dictionaryValue(isoDate(modificationDate)) +
           "; NSFilePosixPermissions = " + mode + "; NSFileSize = " + std::to_string(size) + ";}";
}

std::shared_ptr<LKLogFileInfo> LKLogFileInfo::logFileWithPath(std::string filePath) {
    return std::make_shared<LKLogFileInfo>(std::move(filePath));
}

LKLogFileInfo::LKLogFileInfo(std::string filePath) : filePath_(std::move(filePath)) {}

LKLogFileInfo::LKLogFileInfo(std::string filePath, Attributes attributes)
    : filePath_(std::move(filePath)), attributes_(std::move(attributes)) {}

const std::string& LKLogFileInfo::fileName() {
    if (!fileName_) fileName_ = std::filesystem::path(filePath_).filename().string();
    return *fileName_;
}

const LKLogFileInfo::Attributes& LKLogFileInfo::fileAttributes() {
    if (!attributes_) {
        Attributes a;
        struct statx st {};
        if (::statx(AT_FDCWD, filePath_.c_str(), AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS | STATX_BTIME, &st) == 0) {
            a.exists = true;
            a.size = st.stx_size;
            a.permissions = st.stx_mode & 07777;
            a.modificationDate = fromStatx(st.stx_mtime);
            if (st.stx_mask & STATX_BTIME) a.creationDate = fromStatx(st.stx_btime);
        }
        attributes_ = std::move(a);
    }
    return *attributes_;
}

std::optional<Timestamp> LKLogFileInfo::creationDate() {
    const Attributes& a = fileAttributes();
    if (!a.exists) return std::nullopt;
    if (a.creationDate) return a.creationDate;
    if (auto named = dateInName(fileName())) return named;
    return a.modificationDate;
}

std::optional<Timestamp> LKLogFileInfo::modificationDate() {
    const Attributes& a = fileAttributes();
    if (!a.exists) return std::nullopt;
    return a.modificationDate;
}

uint64_t LKLogFileInfo::fileSize() {
    // A file just created reads 0; ask again until it has grown.
    if (attributes_ && attributes_->size == 0) attributes_.reset();
    return fileAttributes().size;
}

double LKLogFileInfo::age() {
    auto created = creationDate();
    if (!created) return 0;
    return std::chrono::duration<double>(currentDate() - *created).count();
}

bool LKLogFileInfo::isArchived() { return hasExtendedAttributeWithName(kArchivedAttributeName); }

void LKLogFileInfo::setIsArchived(bool archived) {
    if (archived) addExtendedAttributeWithName(kArchivedAttributeName);
    else removeExtendedAttributeWithName(kArchivedAttributeName);
}

void LKLogFileInfo::setIsArchived(bool archived, int fd) {
    if (fd < 0) {
        setIsArchived(archived);
        return;
    }
    std::string name = xattrName(kArchivedAttributeName);
    int result = archived ? ::fsetxattr(fd, name.c_str(), "", 0, 0) : ::fremovexattr(fd, name.c_str());
    if (result == 0) return;
    int error = errno;
    if (unsupported(error)) {
        MemoryAttributes::shared().set(filePath_, name, archived);
    } else if (archived) {
        foundation::systemLog(foundation::format("LKLogFileInfo: setxattr(%@, %@): error = %s", kArchivedAttributeName,
                                                 fileName(), errorText(error)));
    } else if (error != ENODATA) {
        foundation::systemLog(foundation::format("LKLogFileInfo: removexattr(%@, %@): error = %s",
                                                 kArchivedAttributeName, fileName(), errorText(error)));
    }
}

void LKLogFileInfo::reset() {
    fileName_.reset();
    attributes_.reset();
}

void LKLogFileInfo::renameFile(const std::string& newName) {
    if (newName == fileName()) return;
    std::string target = (std::filesystem::path(filePath_).parent_path() / newName).string();
    if (::unlink(target.c_str()) != 0 && errno != ENOENT)
        foundation::systemLog(
            foundation::format("LKLogFileInfo: Error deleting archive (%@): %@", fileName(), posixError(errno)));
    if (::rename(filePath_.c_str(), target.c_str()) != 0)
        foundation::systemLog(
            foundation::format("LKLogFileInfo: Error renaming file (%@): %@", fileName(), posixError(errno)));
    filePath_ = std::move(target);
    reset();
}

bool LKLogFileInfo::hasExtendedAttributeWithName(const std::string& name) {
    std::string full = xattrName(name);
    if (::getxattr(filePath_.c_str(), full.c_str(), nullptr, 0) >= 0) return true;
    return unsupported(errno) && MemoryAttributes::shared().has(filePath_, full);
}

void LKLogFileInfo::addExtendedAttributeWithName(const std::string& name) {
    std::string full = xattrName(name);
    if (::setxattr(filePath_.c_str(), full.c_str(), "", 0, 0) == 0) return;
    int error = errno;
    if (unsupported(error)) {
        MemoryAttributes::shared().set(filePath_, full, true);
        return;
    }
    foundation::systemLog(
        foundation::format("LKLogFileInfo: setxattr(%@, %@): error = %s", name, fileName(), errorText(error)));
}

void LKLogFileInfo::removeExtendedAttributeWithName(const std::string& name) {
    std::string full = xattrName(name);
    if (::removexattr(filePath_.c_str(), full.c_str()) == 0) return;
    int error = errno;
    if (unsupported(error)) {
        MemoryAttributes::shared().set(filePath_, full, false);
        return;
    }
    if (error == ENODATA) return;
    foundation::systemLog(
        foundation::format("LKLogFileInfo: removexattr(%@, %@): error = %s", name, fileName(), errorText(error)));
}

namespace {
int reverseCompare(std::optional<Timestamp> mine, std::optional<Timestamp> theirs) {
    if (!mine || !theirs || *mine == *theirs) return 0;
    return *mine > *theirs ? -1 : 1;
}
}  // namespace

int LKLogFileInfo::reverseCompareByCreationDate(LKLogFileInfo& other) {
    return reverseCompare(creationDate(), other.creationDate());
}

int LKLogFileInfo::reverseCompareByModificationDate(LKLogFileInfo& other) {
    return reverseCompare(modificationDate(), other.modificationDate());
}

std::string LKLogFileInfo::description() {
    const Attributes& a = fileAttributes();
    std::string out = "{\n";
    auto add = [&](const char* key, const std::string& value) {
        out += std::string("    ") + key + " = " + (value.empty() ? "\"\"" : dictionaryValue(value)) + ";\n";
    };
    add("filePath", filePath_);
    add("fileName", fileName());
    out += std::string("    fileAttributes = ") + (a.exists ? a.description() : "\"\"") + ";\n";
    add("creationDate", isoDate(creationDate()));
    add("modificationDate", isoDate(modificationDate()));
    add("fileSize", a.exists ? std::to_string(fileSize()) : std::string());
    add("age", a.exists ? foundation::format("%f", age()) : std::string());
    add("isArchived", isArchived() ? "1" : "0");
    return out + "}";
}

Timestamp LKLogFileInfo::currentDate() {
    std::function<Timestamp()> p;
    {
        std::lock_guard lock(providerMutex());
        p = provider();
    }
    return p ? p() : std::chrono::system_clock::now();
}

void LKLogFileInfo::setCurrentDateProvider(std::function<Timestamp()> newProvider) {
    std::lock_guard lock(providerMutex());
    provider() = std::move(newProvider);
}
