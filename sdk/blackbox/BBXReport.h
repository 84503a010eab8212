#pragma once
// The report of an earlier launch as the application's delegate gets it: its
// values come from the report folder's metadata, and keys set on it go into
// that folder's own key-value files (only while this launch's capture
// context is initialised), so they travel with the report. One thread at a
// time.

#include <cstdint>
#include <memory>

#include "sdk/blackbox/BBXCrashReport.h"

class BBXInternalReport;
struct BBXKVStorage;

class BBXReport final : public BBXCrashReport {
public:
    explicit BBXReport(std::shared_ptr<BBXInternalReport> internalReport);

    const std::shared_ptr<BBXInternalReport>& internalReport() const { return internalReport_; }

    std::optional<std::string> identifier() const override;
    std::optional<std::string> bundleVersion() const override;
    std::optional<std::string> bundleShortVersionString() const override;
    std::optional<foundation::Date> dateCreated() const override;
    std::optional<foundation::Date> crashedOnDate() const override { return dateCreated(); }
    std::optional<std::string> OSVersion() const override;
    std::optional<std::string> OSBuildVersion() const override;
    bool isCrash() const override;
    // Never read back: these are write-only.
    std::optional<foundation::PlistValue::Dictionary> customKeys() const override { return std::nullopt; }
    std::optional<std::string> userIdentifier() const override { return std::nullopt; }
    std::optional<std::string> userName() const override { return std::nullopt; }
    std::optional<std::string> userEmail() const override { return std::nullopt; }

    void setObjectValue(const foundation::PlistValue& value, const std::optional<std::string>& key) override;
    // "com.blackbox.user-id", "com.blackbox.user-name", "com.blackbox.user-email".
    void setUserIdentifier(const std::optional<std::string>& identifier) override;
    void setUserName(const std::optional<std::string>& name) override;
    void setUserEmail(const std::optional<std::string>& email) override;

    void recordValueForUserKey(const foundation::PlistValue& value, const std::optional<std::string>& key);
    void recordValueForInternalKey(const foundation::PlistValue& value, const std::optional<std::string>& key);

private:
    BBXKVStorage userKVStorage() const;
    BBXKVStorage internalKVStorage() const;

    std::shared_ptr<BBXInternalReport> internalReport_;
    std::string internalCompactedPath_;
    std::string internalIncrementalPath_;
    std::string userCompactedPath_;
    std::string userIncrementalPath_;
    uint32_t internalCount_ = 0;
    uint32_t userCount_ = 0;
};
