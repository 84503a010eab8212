#include "sdk/blackbox/BBXInternalReport.h"

#include <sys/stat.h>

#include <filesystem>

#include "platform/foundation/Format.h"
#include "platform/foundation/SystemLog.h"
#include "sdk/blackbox/BBXFile.h"

namespace {

std::optional<std::string> text(const foundation::PlistValue* value) {
    if (!value || !value->asString()) return std::nullopt;
    return *value->asString();
}

}  // namespace

std::shared_ptr<BBXInternalReport> BBXInternalReport::reportWithPath(const std::string& path) {
    auto report = std::make_shared<BBXInternalReport>(path, std::string());
    std::optional<std::string> identifier = text(report->metadataValue(0, "identity", "session_id"));
    if (!identifier) {
        foundation::systemLog(foundation::format("[Blackbox:Crash] Unable to read identifier at path %@", path));
        return nullptr;
    }
    report->identifier_ = *identifier;
    return report;
}

std::shared_ptr<BBXInternalReport> BBXInternalReport::reportWithPathExecutionIdentifier(
    const std::optional<std::string>& path, const std::optional<std::string>& identifier) {
    if (!path || !identifier) return nullptr;
    return std::make_shared<BBXInternalReport>(*path, *identifier);
}

std::optional<std::vector<foundation::PlistValue>> BBXInternalReport::readMetadataAtPath(const std::string& path) {
    auto sections = BBXFileReadSections(path.c_str(), false);
    if (!sections || sections->empty()) return std::nullopt;
    return sections;
}

const std::vector<std::string>& BBXInternalReport::crashFilenames() {
    static const std::vector<std::string> names{"exception.bbxrecord", "mach_exception.bbxrecord",
                                                "signal.bbxrecord"};
    return names;
}

BBXInternalReport::BBXInternalReport(std::string path, std::string identifier)
    : path_(std::move(path)), identifier_(std::move(identifier)) {}

std::string BBXInternalReport::directoryName() const { return std::filesystem::path(path_).filename().string(); }
std::string BBXInternalReport::pathForContentFile(const std::string& name) const { return path_ + "/" + name; }
std::string BBXInternalReport::metadataPath() const { return pathForContentFile("metadata.bbxrecord"); }
std::string BBXInternalReport::binaryImagePath() const { return pathForContentFile("binary_images.bbxrecord"); }

const std::vector<foundation::PlistValue>& BBXInternalReport::metadataSections() {
    if (!metadata_) metadata_ = readMetadataAtPath(metadataPath()).value_or(std::vector<foundation::PlistValue>{});
    return *metadata_;
}

const foundation::PlistValue* BBXInternalReport::metadataValue(size_t section, const char* name, const char* key) {
    const auto& sections = metadataSections();
    if (section >= sections.size()) return nullptr;
    const foundation::PlistValue* body = sections[section].get(name);
    return body ? body->get(key) : nullptr;
}

std::optional<std::string> BBXInternalReport::APIKey() { return text(metadataValue(0, "identity", "api_key")); }

std::optional<foundation::Date> BBXInternalReport::dateCreated() {
    const foundation::PlistValue* startedAt = metadataValue(0, "identity", "started_at");
    if (!startedAt || !startedAt->asInteger() || *startedAt->asInteger() < 0) return std::nullopt;
    return foundation::Date(static_cast<double>(*startedAt->asInteger()));
}

std::optional<std::string> BBXInternalReport::OSVersion() {
    return text(metadataValue(1, "host", "os_display_version"));
}

std::optional<std::string> BBXInternalReport::OSBuildVersion() {
    return text(metadataValue(1, "host", "os_build_version"));
}

std::optional<std::string> BBXInternalReport::bundleVersion() {
    return text(metadataValue(2, "application", "build_version"));
}

std::optional<std::string> BBXInternalReport::bundleShortVersionString() {
    return text(metadataValue(2, "application", "display_version"));
}

bool BBXInternalReport::needsToBeSubmitted() const {
    static const std::vector<std::string> names{"exception.bbxrecord",          "signal.bbxrecord",
                                                "custom_exception_a.bbxrecord", "custom_exception_b.bbxrecord",
                                                "mach_exception.bbxrecord",     "errors_a.bbxrecord",
                                                "errors_b.bbxrecord"};
    return checkExistenceOfAtLeastOnceFileInArray(names);
}

bool BBXInternalReport::isCrash() const { return checkExistenceOfAtLeastOnceFileInArray(crashFilenames()); }

bool BBXInternalReport::checkExistenceOfAtLeastOnceFileInArray(const std::vector<std::string>& names) const {
    for (const auto& name : names) {
        struct stat status {};
        if (::stat(pathForContentFile(name).c_str(), &status) == 0) return true;
    }
    return false;
}

void BBXInternalReport::enumerateSymbolicatableFilesInContent(
    const std::function<void(const std::string& path)>& block) const {
    if (!block) return;
    for (const auto& name : crashFilenames()) block(pathForContentFile(name));
}
