#pragma once
// One report folder: where it is, the session that wrote it, and what its
// "metadata.bbxrecord" says (read once, on first use). The folder's path
// changes when the report lifecycle moves it. Any thread; one object is used
// by one thread at a time.
//
// Metadata values come from the sections in file order: 0 "identity"
// (session_id, api_key, started_at), 1 "host" (os_display_version,
// os_build_version), 2 "application" (build_version, display_version).

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Date.h"
#include "platform/foundation/PlistValue.h"

class BBXInternalReport {
public:
    // The report of an earlier launch: null when its metadata names no
    // session ("[Blackbox:Crash] Unable to read identifier at path %@").
    static std::shared_ptr<BBXInternalReport> reportWithPath(const std::string& path);
    // The report of the running launch, whose metadata may not exist yet;
    // null when either is missing.
    static std::shared_ptr<BBXInternalReport> reportWithPathExecutionIdentifier(
        const std::optional<std::string>& path, const std::optional<std::string>& identifier);
    // The sections of a metadata file; none for a file without any.
    static std::optional<std::vector<foundation::PlistValue>> readMetadataAtPath(const std::string& path);
    // "exception.bbxrecord", "mach_exception.bbxrecord", "signal.bbxrecord".
    static const std::vector<std::string>& crashFilenames();

    BBXInternalReport(std::string path, std::string identifier);

    const std::string& path() const { return path_; }
    void setPath(std::string path) { path_ = std::move(path); }
    const std::string& identifier() const { return identifier_; }
    std::string directoryName() const;
    std::string pathForContentFile(const std::string& name) const;
    std::string metadataPath() const;
    std::string binaryImagePath() const;

    const std::vector<foundation::PlistValue>& metadataSections();
    std::optional<std::string> APIKey();
    std::optional<foundation::Date> dateCreated();
    std::optional<std::string> OSVersion();
    std::optional<std::string> OSBuildVersion();
    std::optional<std::string> bundleVersion();
    std::optional<std::string> bundleShortVersionString();
    // Never read back from a folder.
    std::optional<foundation::PlistValue::Dictionary> customKeys() const { return std::nullopt; }

    // Any of the files that make a report worth sending: the three crash
    // files, both custom-exception files and both error files.
    bool needsToBeSubmitted() const;
    // Any of the crash files.
    bool isCrash() const;
    bool checkExistenceOfAtLeastOnceFileInArray(const std::vector<std::string>& names) const;
    // The full path of each crash file name, in crashFilenames() order,
    // whether the file exists or not.
    void enumerateSymbolicatableFilesInContent(const std::function<void(const std::string& path)>& block) const;

private:
    const foundation::PlistValue* metadataValue(size_t section, const char* name, const char* key);

    std::string path_;
    std::string identifier_;
    std::optional<std::vector<foundation::PlistValue>> metadata_;
};
