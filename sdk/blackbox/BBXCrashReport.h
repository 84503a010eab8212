#pragma once
// What the application's delegate sees of an earlier launch's report, and
// the keys it may still add to it before the report is sent.

#include <optional>
#include <string>

#include "platform/foundation/Date.h"
#include "platform/foundation/PlistValue.h"

class BBXCrashReport {
public:
    virtual ~BBXCrashReport() = default;

    virtual std::optional<std::string> identifier() const = 0;
    virtual std::optional<std::string> bundleVersion() const = 0;
    virtual std::optional<std::string> bundleShortVersionString() const = 0;
    virtual std::optional<foundation::Date> dateCreated() const = 0;
    virtual std::optional<foundation::Date> crashedOnDate() const = 0;
    virtual std::optional<std::string> OSVersion() const = 0;
    virtual std::optional<std::string> OSBuildVersion() const = 0;
    virtual bool isCrash() const = 0;
    virtual std::optional<foundation::PlistValue::Dictionary> customKeys() const = 0;
    virtual std::optional<std::string> userIdentifier() const = 0;
    virtual std::optional<std::string> userName() const = 0;
    virtual std::optional<std::string> userEmail() const = 0;

    virtual void setObjectValue(const foundation::PlistValue& value, const std::optional<std::string>& key) = 0;
    virtual void setUserIdentifier(const std::optional<std::string>& identifier) = 0;
    virtual void setUserName(const std::optional<std::string>& name) = 0;
    virtual void setUserEmail(const std::optional<std::string>& email) = 0;
};
