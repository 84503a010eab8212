#include "sdk/blackbox/BBXReport.h"

#include "sdk/blackbox/BBXContext.h"
#include "sdk/blackbox/BBXInternalReport.h"
#include "sdk/blackbox/BBXUserLogging.h"

BBXReport::BBXReport(std::shared_ptr<BBXInternalReport> internalReport)
    : internalReport_(std::move(internalReport)) {
    if (!internalReport_) return;
    internalCompactedPath_ = internalReport_->pathForContentFile("internal_compacted_kv.bbxrecord");
    internalIncrementalPath_ = internalReport_->pathForContentFile("internal_incremental_kv.bbxrecord");
    userCompactedPath_ = internalReport_->pathForContentFile("user_compacted_kv.bbxrecord");
    userIncrementalPath_ = internalReport_->pathForContentFile("user_incremental_kv.bbxrecord");
}

std::optional<std::string> BBXReport::identifier() const {
    if (!internalReport_) return std::nullopt;
    return internalReport_->identifier();
}

std::optional<std::string> BBXReport::bundleVersion() const {
    return internalReport_ ? internalReport_->bundleVersion() : std::nullopt;
}

std::optional<std::string> BBXReport::bundleShortVersionString() const {
    return internalReport_ ? internalReport_->bundleShortVersionString() : std::nullopt;
}

std::optional<foundation::Date> BBXReport::dateCreated() const {
    return internalReport_ ? internalReport_->dateCreated() : std::nullopt;
}

std::optional<std::string> BBXReport::OSVersion() const {
    return internalReport_ ? internalReport_->OSVersion() : std::nullopt;
}

std::optional<std::string> BBXReport::OSBuildVersion() const {
    return internalReport_ ? internalReport_->OSBuildVersion() : std::nullopt;
}

bool BBXReport::isCrash() const { return internalReport_ && internalReport_->isCrash(); }

void BBXReport::setObjectValue(const foundation::PlistValue& value, const std::optional<std::string>& key) {
    recordValueForUserKey(value, key);
}

void BBXReport::setUserIdentifier(const std::optional<std::string>& identifier) {
    recordValueForInternalKey(identifier ? foundation::PlistValue(*identifier) : nullptr, "com.blackbox.user-id");
}

void BBXReport::setUserName(const std::optional<std::string>& name) {
    recordValueForInternalKey(name ? foundation::PlistValue(*name) : nullptr, "com.blackbox.user-name");
}

void BBXReport::setUserEmail(const std::optional<std::string>& email) {
    recordValueForInternalKey(email ? foundation::PlistValue(*email) : nullptr, "com.blackbox.user-email");
}

void BBXReport::recordValueForUserKey(const foundation::PlistValue& value, const std::optional<std::string>& key) {
    if (!internalReport_ || !BBXContextIsInitialized()) return;
    BBXKVStorage store = userKVStorage();
    BBXUserLoggingWriteKeyValue(key, value, &store, &userCount_);
}

void BBXReport::recordValueForInternalKey(const foundation::PlistValue& value,
                                          const std::optional<std::string>& key) {
    if (!internalReport_ || !BBXContextIsInitialized()) return;
    BBXKVStorage store = internalKVStorage();
    BBXUserLoggingWriteKeyValue(key, value, &store, &internalCount_);
}

BBXKVStorage BBXReport::userKVStorage() const {
    const BBXReadOnlyContext* readOnly = BBXContextGetReadOnly();
    return BBXKVStorage{userIncrementalPath_.c_str(), userCompactedPath_.c_str(),
                        readOnly->userLogging.maxIncrementalEntries, readOnly->keyValueStore.maxUserKeys};
}

BBXKVStorage BBXReport::internalKVStorage() const {
    const BBXReadOnlyContext* readOnly = BBXContextGetReadOnly();
    return BBXKVStorage{internalIncrementalPath_.c_str(), internalCompactedPath_.c_str(),
                        readOnly->userLogging.maxIncrementalEntries, readOnly->keyValueStore.maxInternalKeys};
}
