#pragma once
// The analytics folder tree below the root:
//
//   v1/{ACTIVE|PACKAGED}/<session ms>_<session id>/<fragment ms>_<fragment id>[.prep]/{0,1,2}.log[.zip]
//
// It names and makes the folders of sessions and fragments, lists them, moves
// a fragment through its "prep" twin, removes fragments with the session and
// state folders they leave empty, and sweeps out whatever does not belong.
// Which fragment is current is the caller's business.
//
// Listings skip hidden names (a leading ".") and are sorted by name, so older
// sessions and fragments come first. Symbolic links are never followed: a
// link is an item of its own kind (neither file nor folder), which the sweep
// deletes itself, and nothing here reads or deletes through one.
//
// Not locked: one queue at a time.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Result.h"

class BBXEventLogSessionRepository {
public:
    using Path = std::filesystem::path;
    template <class T>
    using Result = foundation::Result<T>;

    static constexpr const char* kActiveState = "ACTIVE";
    static constexpr const char* kPackagedState = "PACKAGED";
    static constexpr const char* kPrepExtension = "prep";
    static constexpr uint64_t kNoPriority = UINT64_MAX;

    explicit BBXEventLogSessionRepository(Path rootDirectoryURL) : rootDirectoryURL_(std::move(rootDirectoryURL)) {}

    const Path& rootDirectoryURL() const { return rootDirectoryURL_; }
    static std::string versionDirectoryName() { return "v1"; }

    // "0.log", "1.log", "2.log"; nullopt for another priority.
    static std::optional<std::string> activeEventLogFileNameForPriority(uint64_t priority);
    // 0 to 2 for "N.log" with or without one more extension ("1.log.zip"); else kNoPriority.
    static uint64_t priorityForEventLogFileWithName(const std::string& name);
    static std::string sessionDirectoryNameWithIdentifier(const std::string& identifier, uint64_t timestamp);
    static std::string sessionFragmentDirectoryNameWithIdentifier(const std::string& identifier, uint64_t timestamp);
    static Path prepDirectoryForDirectoryURL(const Path& directory);
    static bool isPrepDirectoryURL(const Path& directory);
    static Path stateDirectoryURLForSessionDirectoryURL(const Path& session) { return session.parent_path(); }
    static Path sessionDirectoryURLForSessionFragmentDirectoryURL(const Path& fragment) { return fragment.parent_path(); }
    static Path sessionFragmentDirectoryURLForLogFileURL(const Path& file) { return file.parent_path(); }

    // Kinds for deleteItemAtPath: what may stand at a path.
    enum class ItemType { File = 0, Directory = 1 };
    // Removes an item of another kind than type at path (a link counts as
    // another kind for both); nothing there or the same kind is fine.
    Result<void> deleteItemAtPath(const Path& path, ItemType ifNotOfType);
    Result<void> createFileWithURL(const Path& file);
    Result<void> createDirectoryWithURL(const Path& directory);

    Result<Path> statesDirectoryURL();
    Result<Path> stateDirectoryURLForStateName(const std::string& state);
    Result<std::vector<Path>> sessionDirectoryURLsForStateName(const std::string& state);
    Result<Path> sessionDirectoryURLForStateName(const std::string& state, const std::string& sessionIdentifier,
                                                 uint64_t sessionTimestamp);
    Result<std::vector<Path>> sessionFragmentDirectoryURLsForSessionDirectory(const Path& session);
    Result<Path> sessionFragmentDirectoryURLForStateName(const std::string& state, const std::string& sessionIdentifier,
                                                         uint64_t sessionTimestamp, const std::string& fragmentIdentifier,
                                                         uint64_t fragmentTimestamp);
    // Makes the fragment folder; the file itself is not made.
    Result<Path> eventLogFileURLForStateName(const std::string& state, const std::string& sessionIdentifier,
                                             uint64_t sessionTimestamp, const std::string& fragmentIdentifier,
                                             uint64_t fragmentTimestamp, uint64_t priority);
    // The regular files of the fragment named *.log or *.zip.
    Result<std::vector<Path>> logFileURLsForSessionFragmentDirectory(const Path& fragment);
    Result<std::vector<Path>> logFileURLsForAllStates();

    // The "prep" twin, in state, of a fragment folder of another state; made.
    Result<Path> prepSessionFragmentDirectoryURLForStateName(const std::string& state, const Path& fragment);
    // Moves a prep folder to its plain name, replacing what stands there.
    Result<Path> removePrepStatusFromSessionFragmentDirectoryURL(const Path& prep);
    Result<void> purgePrepSessionFragmentDirectoriesForStateName(const std::string& state);
    // Removes the fragment, then its session and state folders when left empty.
    Result<void> removeSessionFragmentDirectory(const Path& fragment);
    Result<void> removeLogFile(const Path& file);
    // Removes the item (a folder with what it holds; a link itself). An item
    // whose folder does not let us remove it is left, and that is no failure.
    Result<void> deleteItemAtURL(const Path& item);

    // The sweep: removes stray items, fragment folders without log files and
    // emptied session and state folders; keeps every log and packaged file and
    // the current fragment (never touched).
    Result<void> cleanUpEventLogRepositoryIgnorningSessionFragmentDirectoryURL(const Path& currentFragment);

    // A real folder (a link to one is not).
    static bool isDirectoryURL(const Path& item);
    static bool itemURLHasNameMatching(const Path& item, const std::vector<std::string>& names);
    static bool itemURLHasPathExtensionMatching(const Path& item, const std::vector<std::string>& extensions);
    // The non-hidden items of a folder, sorted by name.
    static Result<std::vector<Path>> contentsOfDirectoryURL(const Path& directory);

private:
    Result<std::vector<Path>> directoriesIn(const Path& directory);
    enum class Verdict { Keep, Delete };
    using Rule = Result<Verdict> (BBXEventLogSessionRepository::*)(const Path& child, const Path& current);
    Result<Verdict> cleanDirectory(const Path& directory, Rule rule, const Path& current);
    Result<Verdict> stateRule(const Path& child, const Path& current);
    Result<Verdict> sessionRule(const Path& child, const Path& current);
    Result<Verdict> fragmentRule(const Path& child, const Path& current);

    Path rootDirectoryURL_;
};
