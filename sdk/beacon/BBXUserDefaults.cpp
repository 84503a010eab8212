#include "sdk/beacon/BBXUserDefaults.h"

#include <system_error>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/SystemLog.h"
#include "sdk/beacon/BCNApplication.h"

using foundation::PlistValue;

namespace {

void logLine(const std::string& line) { foundation::systemLog(line); }

std::string describe(const std::error_code& error) {
    return foundation::Error("NSPOSIXErrorDomain", error.value(), error.message()).description();
}

}  // namespace

std::shared_ptr<BBXUserDefaults> BBXUserDefaults::standardUserDefaults() {
    static const std::shared_ptr<BBXUserDefaults> store = std::make_shared<BBXUserDefaults>(generateDirectoryURL());
    return store;
}

BBXUserDefaults::BBXUserDefaults(std::filesystem::path directory,
                                 std::shared_ptr<foundation::UserDefaults> standardDefaults)
    : directory_(std::move(directory)),
      file_(directory_ / kFileName),
      standardDefaults_(std::move(standardDefaults)) {
    std::lock_guard access(access_);
    values_ = loadDefaults().value_or(PlistValue::Dictionary{});
}

std::filesystem::path BBXUserDefaults::generateDirectoryURL() {
    return generateDirectoryURLForBaseURL(foundation::Paths::applicationSupport(), getEscapedAppBundleIdentifier());
}

std::filesystem::path BBXUserDefaults::generateDirectoryURLForBaseURL(
    const std::filesystem::path& base, const std::optional<std::string>& hostAppBundleIdentifier) {
    std::filesystem::path directory = base / kFolderName;
    if (hostAppBundleIdentifier) directory /= *hostAppBundleIdentifier;
    return directory;
}

std::optional<std::string> BBXUserDefaults::getEscapedAppBundleIdentifier() {
    return BCNApplicationGetEscapedBundleIdentifier();
}

PlistValue BBXUserDefaults::objectForKey(const std::string& key) const {
    std::lock_guard access(access_);
    auto found = values_.find(key);
    return found == values_.end() ? PlistValue() : found->second;
}

std::optional<std::string> BBXUserDefaults::stringForKey(const std::string& key) const {
    PlistValue value = objectForKey(key);
    if (const std::string* text = value.asString()) return *text;
    return std::nullopt;
}

bool BBXUserDefaults::boolForKey(const std::string& key) const {
    PlistValue value = objectForKey(key);
    return value.isNumber() && value.boolValue();
}

void BBXUserDefaults::setObject(const PlistValue& value, const std::string& key) {
    std::lock_guard access(access_);
    if (value.isNull()) values_.erase(key);
    else values_[key] = value;
    ++generation_;
}

void BBXUserDefaults::removeAllObjects() {
    std::lock_guard access(access_);
    values_.clear();
    ++generation_;
}

PlistValue::Dictionary BBXUserDefaults::dictionaryRepresentation() const {
    std::lock_guard access(access_);
    return values_;
}

bool BBXUserDefaults::synchronize() {
    PlistValue::Dictionary snapshot;
    uint64_t generation = 0;
    {
        std::lock_guard access(access_);
        snapshot = values_;
        generation = generation_;
    }
    std::lock_guard io(io_);
    // Another thread already wrote a later snapshot: this one would take its changes back.
    if (written_ && generation < writtenGeneration_) return true;

    std::error_code error;
    if (!std::filesystem::exists(directory_, error)) {
        auto created = foundation::Paths::createDirectory(directory_);
        if (!created.ok())
            logLine(foundation::format("[Beacon:UserDefaults] failed to create directory with error:%@",
                                       created.error()));
    }
    auto text = foundation::PropertyList::writeXML(PlistValue(std::move(snapshot)));
    bool ok = text.ok() && foundation::Data::fromString(text.value()).writeToFile(file_, 0600).ok();
    if (!ok) {
        logLine(foundation::format("[Beacon:UserDefaults] Unable to open file for writing at path %@", file_.string()));
        return false;
    }
    written_ = true;
    writtenGeneration_ = generation;
    return true;
}

std::optional<PlistValue::Dictionary> BBXUserDefaults::loadDefaults() {
    std::lock_guard io(io_);
    std::error_code error;
    auto status = std::filesystem::status(file_, error);
    if (status.type() == std::filesystem::file_type::directory) {
        logLine("[Beacon:UserDefaults] found directory where file expected. Removing conflicting directory");
        std::filesystem::remove_all(file_, error);
        if (error)
            logLine(foundation::format("[Beacon:UserDefaults] error removing conflicting directory: {error = %@}",
                                       describe(error)));
        return std::nullopt;
    }
    if (!std::filesystem::exists(status)) return std::nullopt;
    auto bytes = foundation::Data::contentsOfFile(file_, kMaxFileBytes);
    if (bytes.ok()) {
        auto value = foundation::PropertyList::read(bytes.value().span());
        if (value.ok())
            if (const auto* dictionary = value.value().asDictionary()) return *dictionary;
    }
    logLine("[Beacon:UserDefaults] failed to read existing UserDefaults file");
    return std::nullopt;
}

std::shared_ptr<foundation::UserDefaults> BBXUserDefaults::standardDefaults() const {
    return standardDefaults_ ? standardDefaults_ : foundation::UserDefaults::standard();
}

void BBXUserDefaults::migrateFromNSUserDefaults(const std::vector<std::string>& keys) {
    auto standard = standardDefaults();
    bool tookOver = false;
    for (const auto& key : keys) {
        PlistValue value = standard->objectForKey(key);
        if (value.isNull()) continue;
        setObject(value, key);
        tookOver = true;
    }
    if (!tookOver) return;
    // Only a written file may stand in for the old store's copy.
    if (!synchronize()) return;
    for (const auto& key : keys) standard->removeObjectForKey(key);
    standard->synchronize();
}

PlistValue BBXUserDefaults::objectForKeyByMigratingFromNSUserDefaults(const std::string& key) {
    PlistValue value = objectForKey(key);
    if (!value.isNull()) return value;
    auto standard = standardDefaults();
    value = standard->objectForKey(key);
    if (value.isNull()) return value;
    setObject(value, key);
    if (synchronize()) {
        standard->removeObjectForKey(key);
        standard->synchronize();
    }
    return value;
}
