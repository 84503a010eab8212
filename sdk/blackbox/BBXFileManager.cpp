#include "sdk/blackbox/BBXFileManager.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/foundation/Error.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/SystemLog.h"
#include "sdk/beacon/BCNApplication.h"
#include "sdk/blackbox/BBXInternalReport.h"

namespace fs = std::filesystem;

namespace {

constexpr unsigned kDirectoryMode = 0755;

foundation::Error posixError(int code, const std::string& path) {
    foundation::Error error("NSPOSIXErrorDomain", code, std::strerror(code));
    if (!path.empty()) error.userInfo["NSFilePath"] = path;
    return error;
}

std::string join(const std::string& folder, const char* name) { return (fs::path(folder) / name).string(); }

}  // namespace

BBXFileManager::BBXFileManager(const std::shared_ptr<foundation::Bundle>& bundle)
    : rootPath_((foundation::Paths::caches() / "com.blackbox.data" / pathNamespace(bundle)).string()) {}

std::string BBXFileManager::pathNamespace(const std::shared_ptr<foundation::Bundle>& bundle) {
    return BCNApplicationGetEscapedBundleIdentifier(bundle).value_or("");
}

std::string BBXFileManager::structurePath() const { return join(rootPath_, "v3"); }
std::string BBXFileManager::activePath() const { return join(structurePath(), "active"); }
std::string BBXFileManager::pendingPath() const { return join(structurePath(), "pending"); }
std::string BBXFileManager::processingPath() const { return join(structurePath(), "processing"); }
std::string BBXFileManager::preparedPath() const { return join(structurePath(), "prepared"); }
std::vector<std::string> BBXFileManager::activePathContents() const { return contentsOfDirectory(activePath()); }
std::vector<std::string> BBXFileManager::processingPathContents() const {
    return contentsOfDirectory(processingPath());
}
std::vector<std::string> BBXFileManager::preparedPathContents() const { return contentsOfDirectory(preparedPath()); }

bool BBXFileManager::createDirectoryAtPath(const std::string& path) const {
    auto created = foundation::Paths::createDirectory(path.empty() ? fs::path() : fs::path(path), kDirectoryMode);
    if (!path.empty() && created) return true;
    foundation::Error error = path.empty() ? posixError(EINVAL, path) : created.error();
    foundation::systemLog(foundation::format("[FileManager] Unable to create directory %@", path) + " " +
                          error.description());
    return false;
}

bool BBXFileManager::removeItemAtPath(const std::string& path) const {
    std::error_code code;
    if (path.empty()) code = std::make_error_code(std::errc::invalid_argument);
    else if (!fs::exists(fs::symlink_status(path, code))) {
        if (!code) code = std::make_error_code(std::errc::no_such_file_or_directory);
    } else fs::remove_all(path, code);
    if (!code) return true;
    foundation::systemLog(
        foundation::format("[FileManager] Failed to remove file '%@' : %@", path, posixError(code.value(), path)));
    return false;
}

bool BBXFileManager::moveItemAtPath(const std::string& path, const std::string& directory) const {
    if (path.empty() || directory.empty()) {
        foundation::systemLog("[FileManager] Failed to move file, inputs invalid");
        return false;
    }
    std::string target = (fs::path(directory) / fs::path(path).filename()).string();
    // Never over an existing entry, whatever its kind.
    int result = ::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
    if (result != 0 && errno == EINVAL) {
        struct stat existing {};
        if (::lstat(target.c_str(), &existing) == 0) errno = EEXIST;
        else result = ::rename(path.c_str(), target.c_str());
    }
    if (result == 0) return true;
    foundation::systemLog(foundation::format("[FileManager] Failed to move file: %@", posixError(errno, path)));
    return false;
}

void BBXFileManager::enumerateFilesInDirectory(const std::string& directory, const FileBlock& block) const {
    if (!block) return;
    for (const auto& path : contentsOfDirectory(directory)) {
        std::string extension = fs::path(path).extension().string();
        block(path, extension.empty() ? extension : extension.substr(1));
    }
}

std::vector<std::string> BBXFileManager::contentsOfDirectory(const std::string& directory) const {
    std::vector<std::string> names;
    std::error_code code;
    fs::directory_iterator entries(directory, code);
    if (code) return {};
    for (auto it = entries; it != fs::directory_iterator(); it.increment(code)) {
        if (code) return {};
        std::string name = it->path().filename().string();
        if (!name.empty() && name[0] != '.') names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end());
    std::vector<std::string> paths;
    for (const auto& name : names) paths.push_back(join(directory, name.c_str()));
    return paths;
}

bool BBXFileManager::removeContentsOfDirectoryAtPath(const std::string& directory) const {
    bool all = true;
    for (const auto& path : contentsOfDirectory(directory)) all = removeItemAtPath(path) && all;
    return all;
}

bool BBXFileManager::moveItemsFromDirectory(const std::string& source, const std::string& destination) const {
    for (const auto& path : contentsOfDirectory(source))
        if (!moveItemAtPath(path, destination)) return false;
    return true;
}

std::optional<uint64_t> BBXFileManager::fileSizeAtPath(const std::string& path) const {
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0) return static_cast<uint64_t>(status.st_size);
    foundation::systemLog(foundation::format("[Client] Unable to read file size: %@", posixError(errno, path)));
    return std::nullopt;
}

bool BBXFileManager::prepareForNewLaunch() const {
    return createDirectoryAtPath(activePath()) && createDirectoryAtPath(processingPath()) &&
           createDirectoryAtPath(preparedPath());
}

std::optional<std::string> BBXFileManager::setupNewPathForExecutionIdentifier(const std::string& identifier) const {
    if (identifier.empty()) return std::nullopt;
    std::string path = join(activePath(), identifier.c_str());
    if (!createDirectoryAtPath(path)) return std::nullopt;
    return path;
}

void BBXFileManager::removeLegacyDirectories() const {
    std::error_code code;
    if (!fs::exists(fs::symlink_status(join(rootPath_, "sendable"), code))) return;
    fs::remove_all(rootPath_, code);
    if (code)
        foundation::systemLog(foundation::format("[Blackbox:FileManager] Unable to remove legacy directory structure %@",
                                                 posixError(code.value(), rootPath_)));
    foundation::systemLog(foundation::format("[Blackbox:FileManager] Removed legacy structure at %@", rootPath_));
}

void BBXFileManager::enumerateReportsInProcessingDirectoryUsingBlock(const ReportBlock& block) const {
    if (!block) return;
    for (const auto& path : contentsOfDirectory(processingPath())) block(BBXInternalReport::reportWithPath(path), path);
}

void BBXFileManager::enumerateFilesInActiveDirectoryUsingBlock(const FileBlock& block) const {
    enumerateFilesInDirectory(activePath(), block);
}

void BBXFileManager::enumerateFilesInPreparedDirectoryUsingBlock(const FileBlock& block) const {
    enumerateFilesInDirectory(preparedPath(), block);
}

bool BBXFileManager::moveProcessingContentsToPrepared() const {
    return moveItemsFromDirectory(processingPath(), preparedPath());
}

bool BBXFileManager::movePendingToProcessing() const { return moveItemsFromDirectory(pendingPath(), processingPath()); }

bool BBXFileManager::removeContentsOfProcessingPath() const { return removeContentsOfDirectoryAtPath(processingPath()); }

bool BBXFileManager::removeContentsOfPendingPath() const { return removeContentsOfDirectoryAtPath(pendingPath()); }

bool BBXFileManager::removeContentsOfAllPaths() const {
    bool processing = removeContentsOfProcessingPath();
    bool pending = removeContentsOfPendingPath();
    bool prepared = removeContentsOfDirectoryAtPath(preparedPath());
    bool active = removeContentsOfDirectoryAtPath(activePath());
    return processing && pending && prepared && active;
}
