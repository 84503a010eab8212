#pragma once
// The crash kit's folder tree below the user's Caches folder, and the file
// operations the report lifecycle moves report folders with:
//
//   <Caches>/com.blackbox.data/<namespace>/          root (the analytics kit keeps "analytics" here too)
//       sendable                                     marks a tree of an older layout
//       v3/                                          structure
//           launchmarker
//           active/<execution identifier>/           report folders of this and earlier launches
//           pending/  processing/  prepared/         stages a report folder moves through
//
// The namespace is the bundle identifier with every "/" made "_". Folders are
// made with their parents, mode 0755. Names that begin with "." are never
// listed, moved or removed. Listings are in name order. Failures are one
// system-log line and a false or empty answer; nothing throws. Any thread.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Bundle.h"

class BBXInternalReport;

class BBXFileManager {
public:
    // The tree of the bundle's namespace; nothing is created.
    explicit BBXFileManager(const std::shared_ptr<foundation::Bundle>& bundle = foundation::Bundle::main());

    // The bundle identifier with every "/" made "_" (empty without one).
    static std::string pathNamespace(const std::shared_ptr<foundation::Bundle>& bundle = foundation::Bundle::main());

    const std::string& rootPath() const { return rootPath_; }
    std::string structurePath() const;
    std::string activePath() const;
    std::string pendingPath() const;
    std::string processingPath() const;
    std::string preparedPath() const;
    std::vector<std::string> activePathContents() const;
    std::vector<std::string> processingPathContents() const;
    std::vector<std::string> preparedPathContents() const;

    bool createDirectoryAtPath(const std::string& path) const;
    // True only when path was given and removed (with everything in it).
    bool removeItemAtPath(const std::string& path) const;
    // Moves path to directory/<its last component>; an existing entry there
    // is never replaced.
    bool moveItemAtPath(const std::string& path, const std::string& directory) const;

    // Every entry of directory but the hidden ones: its full path and its
    // extension ("" for none). A folder that cannot be listed has none.
    using FileBlock = std::function<void(const std::string& path, const std::string& extension)>;
    void enumerateFilesInDirectory(const std::string& directory, const FileBlock& block) const;
    std::vector<std::string> contentsOfDirectory(const std::string& directory) const;
    // Every entry is attempted; true when all were removed.
    bool removeContentsOfDirectoryAtPath(const std::string& directory) const;
    // Moves the entries one by one and stops at the first that fails, leaving
    // the rest where they are; true when all moved.
    bool moveItemsFromDirectory(const std::string& source, const std::string& destination) const;
    std::optional<uint64_t> fileSizeAtPath(const std::string& path) const;

    // Creates "active", "processing" and "prepared", stopping at the first
    // failure. Run removeLegacyDirectories first: it removes the whole root.
    bool prepareForNewLaunch() const;
    // Creates active/<identifier> and answers it.
    std::optional<std::string> setupNewPathForExecutionIdentifier(const std::string& identifier) const;
    // When root/"sendable" exists, removes the root with everything in it.
    void removeLegacyDirectories() const;

    // A report object for each entry of "processing" (null when the entry's
    // metadata names no session), with the entry's path.
    using ReportBlock = std::function<void(const std::shared_ptr<BBXInternalReport>& report, const std::string& path)>;
    void enumerateReportsInProcessingDirectoryUsingBlock(const ReportBlock& block) const;
    void enumerateFilesInActiveDirectoryUsingBlock(const FileBlock& block) const;
    void enumerateFilesInPreparedDirectoryUsingBlock(const FileBlock& block) const;

    bool moveProcessingContentsToPrepared() const;
    bool movePendingToProcessing() const;
    bool removeContentsOfProcessingPath() const;
    bool removeContentsOfPendingPath() const;
    // Empties "processing", "pending", "prepared" and "active", each attempted.
    bool removeContentsOfAllPaths() const;

private:
    std::string rootPath_;
};
