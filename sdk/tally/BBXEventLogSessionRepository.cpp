#include "sdk/tally/BBXEventLogSessionRepository.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace fs = std::filesystem;
using Repository = BBXEventLogSessionRepository;
using Path = Repository::Path;
template <class T>
using Result = foundation::Result<T>;

namespace {

constexpr const char* kFileErrorDomain = "NSCocoaErrorDomain";

foundation::Error fileError(const std::error_code& code, const Path& path) {
    foundation::Error error(kFileErrorDomain, code.value(), code.message());
    error.userInfo["NSFilePath"] = path.string();
    return error;
}

foundation::Error fileError(int code, const Path& path) { return fileError(std::error_code(code, std::generic_category()), path); }

// Removes an item and all it holds; a link is removed itself, never followed.
Result<void> removeItem(const Path& path) {
    std::error_code error;
    fs::remove_all(path, error);
    if (error) return fileError(error, path);
    return {};
}

// The kind of item at path, never following a link; not_found when nothing.
fs::file_type typeAt(const Path& path) {
    std::error_code ignored;
    return fs::symlink_status(path, ignored).type();
}

bool itemExists(const Path& path) { return typeAt(path) != fs::file_type::not_found && typeAt(path) != fs::file_type::none; }

std::string extensionOf(const Path& path) {
    std::string ext = path.extension().string();
    return ext.empty() ? ext : ext.substr(1);
}

}  // namespace

std::optional<std::string> Repository::activeEventLogFileNameForPriority(uint64_t priority) {
    if (priority > 2) return std::nullopt;
    return std::to_string(priority) + ".log";
}

uint64_t Repository::priorityForEventLogFileWithName(const std::string& name) {
    for (uint64_t priority = 0; priority <= 2; ++priority) {
        std::string plain = *activeEventLogFileNameForPriority(priority);
        if (name == plain || Path(name).stem().string() == plain) return priority;
    }
    return kNoPriority;
}

std::string Repository::sessionDirectoryNameWithIdentifier(const std::string& identifier, uint64_t timestamp) {
    return std::to_string(timestamp) + "_" + identifier;
}

std::string Repository::sessionFragmentDirectoryNameWithIdentifier(const std::string& identifier, uint64_t timestamp) {
    return std::to_string(timestamp) + "_" + identifier;
}

Path Repository::prepDirectoryForDirectoryURL(const Path& directory) {
    Path prep = directory;
    prep += std::string(".") + kPrepExtension;
    return prep;
}

bool Repository::isPrepDirectoryURL(const Path& directory) { return extensionOf(directory) == kPrepExtension; }

Result<void> Repository::deleteItemAtPath(const Path& path, ItemType ifNotOfType) {
    fs::file_type type = typeAt(path);
    if (type == fs::file_type::not_found || type == fs::file_type::none) return {};
    bool sameKind = ifNotOfType == ItemType::File ? type == fs::file_type::regular : type == fs::file_type::directory;
    if (sameKind) return {};
    return removeItem(path);
}

Result<void> Repository::createFileWithURL(const Path& file) {
    if (auto removed = deleteItemAtPath(file, ItemType::File); !removed.ok()) return removed;
    if (itemExists(file)) return {};
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return fileError(errno, file);
    ::close(fd);
    return {};
}

Result<void> Repository::createDirectoryWithURL(const Path& directory) {
    if (auto removed = deleteItemAtPath(directory, ItemType::Directory); !removed.ok()) return removed;
    if (itemExists(directory)) return {};
    // Each level in turn, so that a file or link standing where a parent folder
    // belongs is replaced too rather than followed.
    Path built;
    for (const auto& part : directory) {
        built /= part;
        if (built == built.root_path() || typeAt(built) == fs::file_type::directory) continue;
        if (auto removed = deleteItemAtPath(built, ItemType::Directory); !removed.ok()) return removed;
        if (::mkdir(built.c_str(), 0700) != 0 && errno != EEXIST) return fileError(errno, built);
    }
    if (typeAt(directory) != fs::file_type::directory) return fileError(ENOTDIR, directory);
    return {};
}

Result<Path> Repository::statesDirectoryURL() {
    Path version = rootDirectoryURL_ / versionDirectoryName();
    if (auto made = createDirectoryWithURL(version); !made.ok()) return made.error();
    return version;
}

Result<Path> Repository::stateDirectoryURLForStateName(const std::string& state) {
    auto version = statesDirectoryURL();
    if (!version.ok()) return version.error();
    Path directory = version.value() / state;
    if (auto made = createDirectoryWithURL(directory); !made.ok()) return made.error();
    return directory;
}

Result<std::vector<Path>> Repository::directoriesIn(const Path& directory) {
    auto contents = contentsOfDirectoryURL(directory);
    if (!contents.ok()) return contents.error();
    std::vector<Path> folders;
    for (auto& item : contents.value())
        if (isDirectoryURL(item)) folders.push_back(std::move(item));
    return folders;
}

Result<std::vector<Path>> Repository::sessionDirectoryURLsForStateName(const std::string& state) {
    auto directory = stateDirectoryURLForStateName(state);
    if (!directory.ok()) return directory.error();
    return directoriesIn(directory.value());
}

Result<Path> Repository::sessionDirectoryURLForStateName(const std::string& state, const std::string& sessionIdentifier,
                                                          uint64_t sessionTimestamp) {
    auto directory = stateDirectoryURLForStateName(state);
    if (!directory.ok()) return directory.error();
    Path session = directory.value() / sessionDirectoryNameWithIdentifier(sessionIdentifier, sessionTimestamp);
    if (auto made = createDirectoryWithURL(session); !made.ok()) return made.error();
    return session;
}

Result<std::vector<Path>> Repository::sessionFragmentDirectoryURLsForSessionDirectory(const Path& session) {
    return directoriesIn(session);
}

Result<Path> Repository::sessionFragmentDirectoryURLForStateName(const std::string& state,
                                                                  const std::string& sessionIdentifier,
                                                                  uint64_t sessionTimestamp,
                                                                  const std::string& fragmentIdentifier,
                                                                  uint64_t fragmentTimestamp) {
    auto session = sessionDirectoryURLForStateName(state, sessionIdentifier, sessionTimestamp);
    if (!session.ok()) return session.error();
    Path fragment = session.value() / sessionFragmentDirectoryNameWithIdentifier(fragmentIdentifier, fragmentTimestamp);
    if (auto made = createDirectoryWithURL(fragment); !made.ok()) return made.error();
    return fragment;
}

Result<Path> Repository::eventLogFileURLForStateName(const std::string& state, const std::string& sessionIdentifier,
                                                      uint64_t sessionTimestamp, const std::string& fragmentIdentifier,
                                                      uint64_t fragmentTimestamp, uint64_t priority) {
    auto name = activeEventLogFileNameForPriority(priority);
    if (!name) return fileError(EINVAL, rootDirectoryURL_);
    auto fragment =
        sessionFragmentDirectoryURLForStateName(state, sessionIdentifier, sessionTimestamp, fragmentIdentifier, fragmentTimestamp);
    if (!fragment.ok()) return fragment.error();
    return fragment.value() / *name;
}

Result<std::vector<Path>> Repository::logFileURLsForSessionFragmentDirectory(const Path& fragment) {
    auto contents = contentsOfDirectoryURL(fragment);
    if (!contents.ok()) return contents.error();
    std::vector<Path> files;
    for (auto& item : contents.value())
        if (typeAt(item) == fs::file_type::regular && itemURLHasPathExtensionMatching(item, {"log", "zip"}))
            files.push_back(std::move(item));
    return files;
}

Result<std::vector<Path>> Repository::logFileURLsForAllStates() {
    std::vector<Path> files;
    for (const char* state : {kActiveState, kPackagedState}) {
        auto sessions = sessionDirectoryURLsForStateName(state);
        if (!sessions.ok()) return sessions.error();
        for (const auto& session : sessions.value()) {
            auto fragments = sessionFragmentDirectoryURLsForSessionDirectory(session);
            if (!fragments.ok()) return fragments.error();
            for (const auto& fragment : fragments.value()) {
                auto logs = logFileURLsForSessionFragmentDirectory(fragment);
                if (!logs.ok()) return logs.error();
                files.insert(files.end(), logs.value().begin(), logs.value().end());
            }
        }
    }
    return files;
}

Result<Path> Repository::prepSessionFragmentDirectoryURLForStateName(const std::string& state, const Path& fragment) {
    std::vector<Path> components(fragment.begin(), fragment.end());
    if (components.size() < 3) return fileError(EINVAL, fragment);
    auto directory = stateDirectoryURLForStateName(state);
    if (!directory.ok()) return directory.error();
    Path prep = prepDirectoryForDirectoryURL(directory.value() / components[components.size() - 2] / components.back());
    if (auto made = createDirectoryWithURL(prep); !made.ok()) return made.error();
    return prep;
}

Result<Path> Repository::removePrepStatusFromSessionFragmentDirectoryURL(const Path& prep) {
    if (!isPrepDirectoryURL(prep)) return fileError(EINVAL, prep);
    Path target = prep;
    target.replace_extension();
    if (itemExists(target)) {
        if (auto removed = removeItem(target); !removed.ok()) return removed.error();
    }
    std::error_code error;
    fs::rename(prep, target, error);
    if (error) return fileError(error, prep);
    return target;
}

Result<void> Repository::purgePrepSessionFragmentDirectoriesForStateName(const std::string& state) {
    auto sessions = sessionDirectoryURLsForStateName(state);
    if (!sessions.ok()) return sessions.error();
    for (const auto& session : sessions.value()) {
        auto fragments = sessionFragmentDirectoryURLsForSessionDirectory(session);
        if (!fragments.ok()) return fragments.error();
        for (const auto& fragment : fragments.value()) {
            if (!isPrepDirectoryURL(fragment)) continue;
            if (auto removed = removeItem(fragment); !removed.ok()) return removed;
        }
    }
    return {};
}

Result<void> Repository::removeSessionFragmentDirectory(const Path& fragment) {
    if (auto removed = removeItem(fragment); !removed.ok()) return removed;
    // The session folder, then the state folder, while each is left empty.
    Path parent = fragment.parent_path();
    for (int level = 0; level < 2; ++level, parent = parent.parent_path()) {
        auto contents = contentsOfDirectoryURL(parent);
        if (!contents.ok()) return contents.error();
        if (!contents.value().empty()) return {};
        // Hidden items alone do not keep it.
        if (auto removed = removeItem(parent); !removed.ok()) return removed;
    }
    return {};
}

Result<void> Repository::removeLogFile(const Path& file) {
    std::error_code error;
    fs::remove(file, error);
    if (error) return fileError(error, file);
    Path fragment = sessionFragmentDirectoryURLForLogFileURL(file);
    auto contents = contentsOfDirectoryURL(fragment);
    if (!contents.ok()) return contents.error();
    if (contents.value().empty()) return removeSessionFragmentDirectory(fragment);
    return {};
}

Result<void> Repository::deleteItemAtURL(const Path& item) {
    // Deletable: the folder holding it lets us change it.
    if (::access(item.parent_path().c_str(), W_OK | X_OK) != 0) return {};
    return removeItem(item);
}

bool Repository::isDirectoryURL(const Path& item) { return typeAt(item) == fs::file_type::directory; }

bool Repository::itemURLHasNameMatching(const Path& item, const std::vector<std::string>& names) {
    return std::find(names.begin(), names.end(), item.filename().string()) != names.end();
}

bool Repository::itemURLHasPathExtensionMatching(const Path& item, const std::vector<std::string>& extensions) {
    return std::find(extensions.begin(), extensions.end(), extensionOf(item)) != extensions.end();
}

Result<std::vector<Path>> Repository::contentsOfDirectoryURL(const Path& directory) {
    if (typeAt(directory) != fs::file_type::directory) return fileError(ENOTDIR, directory);
    std::error_code error;
    std::vector<Path> items;
    for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
        std::string name = it->path().filename().string();
        if (!name.empty() && name[0] != '.') items.push_back(it->path());
    }
    if (error) return fileError(error, directory);
    std::sort(items.begin(), items.end());
    return items;
}

Result<void> Repository::cleanUpEventLogRepositoryIgnorningSessionFragmentDirectoryURL(const Path& currentFragment) {
    auto version = statesDirectoryURL();
    if (!version.ok()) return version.error();
    auto cleaned = cleanDirectory(version.value(), &Repository::stateRule, currentFragment.lexically_normal());
    if (!cleaned.ok()) return cleaned.error();
    return {};
}

Result<Repository::Verdict> Repository::cleanDirectory(const Path& directory, Rule rule, const Path& current) {
    if (!isDirectoryURL(directory)) return Verdict::Delete;
    auto children = contentsOfDirectoryURL(directory);
    if (!children.ok()) return children.error();
    Verdict verdict = Verdict::Delete;
    for (const auto& child : children.value()) {
        auto childVerdict = (this->*rule)(child, current);
        if (!childVerdict.ok()) return childVerdict.error();
        if (childVerdict.value() == Verdict::Keep) {
            verdict = Verdict::Keep;
            continue;
        }
        if (auto deleted = deleteItemAtURL(child); !deleted.ok()) return deleted.error();
    }
    return verdict;
}

Result<Repository::Verdict> Repository::stateRule(const Path& child, const Path& current) {
    if (!itemURLHasNameMatching(child, {kActiveState, kPackagedState}) || !isDirectoryURL(child)) return Verdict::Delete;
    return cleanDirectory(child, &Repository::sessionRule, current);
}

Result<Repository::Verdict> Repository::sessionRule(const Path& child, const Path& current) {
    if (!isDirectoryURL(child)) return Verdict::Delete;
    auto children = contentsOfDirectoryURL(child);
    if (!children.ok()) return children.error();
    Verdict verdict = Verdict::Delete;
    for (const auto& fragment : children.value()) {
        if (fragment.lexically_normal() == current) {
            verdict = Verdict::Keep;
            continue;
        }
        auto fragmentVerdict = cleanDirectory(fragment, &Repository::fragmentRule, current);
        if (!fragmentVerdict.ok()) return fragmentVerdict.error();
        if (fragmentVerdict.value() == Verdict::Keep) {
            verdict = Verdict::Keep;
            continue;
        }
        if (auto deleted = deleteItemAtURL(fragment); !deleted.ok()) return deleted.error();
    }
    return verdict;
}

Result<Repository::Verdict> Repository::fragmentRule(const Path& child, const Path&) {
    if (typeAt(child) == fs::file_type::regular && itemURLHasPathExtensionMatching(child, {"log", "zip"})) return Verdict::Keep;
    return Verdict::Delete;
}
