#include "LKLogFileManagerDefault.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <tuple>

#include "LKLog.h"
#include "LKLogFileDateFormatter.h"
#include "LKLogFileInfo.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/SystemLog.h"

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kExtension = ".log";

bool allDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Where a name ranks among files of the same instant: its minute, then its number
// (an unnumbered file is the first of its minute).
std::pair<std::string, uint64_t> nameRank(const std::string& name) {
    std::string_view stem = name;
    if (stem.size() >= kExtension.size() && stem.substr(stem.size() - kExtension.size()) == kExtension)
        stem.remove_suffix(kExtension.size());
    uint64_t number = 1;
    auto blank = stem.rfind(' ');
    if (blank != std::string_view::npos && allDigits(stem.substr(blank + 1)) && blank >= 16 &&
        LKLogFileDateFormatter::dateFromString(stem.substr(blank - 16, 16))) {
        number = std::strtoull(std::string(stem.substr(blank + 1)).c_str(), nullptr, 10);
        stem = stem.substr(0, blank);
    }
    std::string minute = stem.size() >= 16 ? std::string(stem.substr(stem.size() - 16)) : std::string();
    return {minute, number};
}

foundation::Error folderError(int error, const std::string& path) {
    foundation::Error e("NSPOSIXErrorDomain", error, std::strerror(error));
    e.userInfo["NSFilePath"] = path;
    return e;
}

}  // namespace

LKLogFileManagerDefault::LKLogFileManagerDefault() : LKLogFileManagerDefault(std::nullopt) {}

LKLogFileManagerDefault::LKLogFileManagerDefault(std::optional<std::string> logsDirectory)
    : logsDirectory_(logsDirectory ? std::move(*logsDirectory) : defaultLogsDirectory()) {}

const std::string& LKLogFileManagerDefault::applicationName() {
    static const std::string name = [] {
        std::string identifier = foundation::Bundle::main()->bundleIdentifier();
        if (!identifier.empty()) return identifier;
        return std::string(program_invocation_short_name ? program_invocation_short_name : "");
    }();
    return name;
}

std::string LKLogFileManagerDefault::defaultLogsDirectory() {
    fs::path base;
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state == '/') base = state;
    else if (const char* home = std::getenv("HOME"); home && *home) base = fs::path(home) / ".local" / "state";
    else base = fs::temp_directory_path();
    return (base / "Logs" / applicationName()).string();
}

std::string LKLogFileManagerDefault::logsDirectory() {
    std::error_code ec;
    int error = 0;
    if (!fs::is_directory(logsDirectory_, ec)) {
        // Private folders: the logs tell what was copied when.
        fs::path partial;
        for (const auto& part : fs::path(logsDirectory_)) {
            partial /= part;
            if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) error = errno;
        }
        if (!fs::is_directory(logsDirectory_, ec) && !error) error = ENOTDIR;
    }
    std::lock_guard lock(reportMutex_);
    if (!error) {
        reportedFolderError_.clear();
        return logsDirectory_;
    }
    // Every message asks again while the folder is missing; the system log hears
    // of each failure once, not once per message.
    std::string text = foundation::format("LKFileLogManagerDefault: Error creating logsDirectory: %@",
                                          folderError(error, logsDirectory_));
    if (text != reportedFolderError_) {
        reportedFolderError_ = text;
        foundation::systemLog(text);
    }
    return logsDirectory_;
}

bool LKLogFileManagerDefault::isLogFile(const std::string& fileName) const {
    const std::string& prefix = applicationName();
    if (fileName.size() < prefix.size() + kExtension.size() || fileName.compare(0, prefix.size(), prefix) != 0 ||
        fileName.compare(fileName.size() - kExtension.size(), kExtension.size(), kExtension) != 0)
        return false;
    std::string_view middle(fileName);
    middle = middle.substr(prefix.size(), middle.size() - prefix.size() - kExtension.size());
    if (middle.size() < 17) return false;
    std::vector<std::string_view> parts;
    for (size_t start = 0;;) {
        auto blank = middle.find(' ', start);
        parts.push_back(middle.substr(start, blank == std::string_view::npos ? std::string_view::npos : blank - start));
        if (blank == std::string_view::npos) break;
        start = blank + 1;
    }
    if (parts.size() != 3 && parts.size() != 4) return false;
    // The name goes on with a blank right after the application name, and a
    // fourth part is a file number: "Tavlo2 ..." or "... backup.log" is someone
    // else's file and must never be deleted.
    if (!parts[0].empty()) return false;
    if (parts.size() == 4 && !allDigits(parts[3])) return false;
    return LKLogFileDateFormatter::dateFromString(std::string(parts[1]) + " " + std::string(parts[2])).has_value();
}

std::vector<std::string> LKLogFileManagerDefault::unsortedLogFilePaths() {
    std::string folder = logsDirectory();
    std::vector<std::string> paths;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return paths;
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (!isLogFile(name)) continue;
        std::string path = (fs::path(folder) / name).string();
        // Only plain files: a folder or a link of that name is not ours to remove.
        bool regular = entry->d_type == DT_REG;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat st {};
            regular = ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
        }
        if (regular) paths.push_back(std::move(path));
    }
    ::closedir(dir);
    return paths;
}

std::vector<std::string> LKLogFileManagerDefault::unsortedLogFileNames() {
    std::vector<std::string> names;
    for (const auto& path : unsortedLogFilePaths()) names.push_back(fs::path(path).filename().string());
    return names;
}

std::vector<std::shared_ptr<LKLogFileInfo>> LKLogFileManagerDefault::unsortedLogFileInfos() {
    std::vector<std::shared_ptr<LKLogFileInfo>> infos;
    for (auto& path : unsortedLogFilePaths()) infos.push_back(LKLogFileInfo::logFileWithPath(std::move(path)));
    return infos;
}

void LKLogFileManagerDefault::sortNewestFirst(std::vector<std::shared_ptr<LKLogFileInfo>>& infos) {
    using Key = std::tuple<logging::Timestamp, std::string, uint64_t, logging::Timestamp>;
    std::vector<std::pair<Key, std::shared_ptr<LKLogFileInfo>>> keyed;
    keyed.reserve(infos.size());
    for (auto& info : infos) {
        auto [minute, number] = nameRank(info->fileName());
        keyed.push_back({Key(info->creationDate().value_or(logging::Timestamp{}), minute, number,
                             info->modificationDate().value_or(logging::Timestamp{})),
                         info});
    }
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    for (size_t i = 0; i < infos.size(); ++i) infos[i] = std::move(keyed[i].second);
}

std::vector<std::shared_ptr<LKLogFileInfo>> LKLogFileManagerDefault::sortedLogFileInfos() {
    auto infos = unsortedLogFileInfos();
    sortNewestFirst(infos);
    return infos;
}

std::vector<std::string> LKLogFileManagerDefault::sortedLogFilePaths() {
    std::vector<std::string> paths;
    for (const auto& info : sortedLogFileInfos()) paths.push_back(info->filePath());
    return paths;
}

std::vector<std::string> LKLogFileManagerDefault::sortedLogFileNames() {
    std::vector<std::string> names;
    for (const auto& info : sortedLogFileInfos()) names.push_back(info->fileName());
    return names;
}

std::string LKLogFileManagerDefault::newLogFileName() const {
    return applicationName() + " " + LKLogFileDateFormatter::stringFromDate(std::chrono::system_clock::now()) +
           std::string(kExtension);
}

std::string LKLogFileManagerDefault::createNewLogFile() {
    std::lock_guard lock(filesMutex_);
    std::string name = newLogFileName();
    fs::path folder = logsDirectory();
    std::string stem = fs::path(name).stem().string();
    std::string extension = fs::path(name).extension().string();
    std::string path;
    for (unsigned long attempt = 1;; ++attempt) {
        std::string candidate = attempt == 1 ? name : foundation::format("%@ %lu%@", stem, attempt, extension);
        path = (folder / candidate).string();
        // Made only when the name is free, so a file of another writer is never taken over.
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::close(fd);
            break;
        }
        // Any other failure leaves the path to the logger, which finds it cannot
        // open it and tries again with the next message.
        if (errno != EEXIST) break;
    }
    createdPath_ = path;
    deleteOldLogFilesLocked();
    return path;
}

void LKLogFileManagerDefault::deleteOldLogFiles() {
    std::lock_guard lock(filesMutex_);
    deleteOldLogFilesLocked();
}

void LKLogFileManagerDefault::deleteOldLogFilesLocked() {
    const uint64_t quota = logFilesDiskQuota_;
    const uint64_t limit = maximumNumberOfLogFiles_;
    if (!quota && !limit) return;
    auto infos = sortedLogFileInfos();
    size_t first = infos.size();
    bool overQuota = false;
    if (quota) {
        uint64_t total = 0;
        for (size_t i = 0; i < infos.size(); ++i) {
            total += infos[i]->fileSize();
            if (total > quota) {
                first = i;
                overQuota = true;
                break;
            }
        }
    }
    if (limit) first = overQuota ? std::min<size_t>(first, limit) : std::min<size_t>(limit, infos.size());
    // The newest file is being written unless it was archived.
    if (first == 0 && !infos.empty() && !infos[0]->isArchived()) first = 1;
    for (size_t i = first; i < infos.size(); ++i) {
        if (infos[i]->filePath() == createdPath_ && !infos[i]->isArchived()) continue;
        ::unlink(infos[i]->filePath().c_str());
    }
}

void LKLogFileManagerDefault::setMaximumNumberOfLogFiles(uint64_t count) {
    if (maximumNumberOfLogFiles_.exchange(count) != count) limitsChanged();
}

void LKLogFileManagerDefault::setLogFilesDiskQuota(uint64_t bytes) {
    if (logFilesDiskQuota_.exchange(bytes) != bytes) limitsChanged();
}

void LKLogFileManagerDefault::limitsChanged() {
    std::weak_ptr<LKLogFileManagerDefault> weak = weak_from_this();
    LKLog::loggingQueue()->async([weak] {
        if (auto self = weak.lock()) self->deleteOldLogFiles();
    });
}
