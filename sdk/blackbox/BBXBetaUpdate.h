#pragma once
// A newer test build of the application, as the beta service describes it:
// where to get it and its version, with the texts an offer to install it
// would show. Immutable; any thread.

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/PlistValue.h"

class BBXBetaUpdate {
public:
    static constexpr const char* kURLErrorDomain = "NSURLErrorDomain";
    static constexpr int64_t kCannotParseResponse = -1017;

    // Null with kCannotParseResponse in error (when given) unless value is
    // a dictionary whose "url" is text naming a scheme and a host.
    static std::shared_ptr<BBXBetaUpdate> betaUpdateWithDictionary(const foundation::PlistValue& value,
                                                                   foundation::Error* error);

    BBXBetaUpdate(std::string url, std::optional<std::string> version)
        : url_(std::move(url)), version_(std::move(version)) {}

    const std::string& url() const { return url_; }
    const std::optional<std::string>& version() const { return version_; }

    std::string promptTitle() const { return "New Build Available"; }
    // With the application's name.
    std::string promptMessage() const;
    std::string cancelLabel() const { return "Cancel"; }
    std::string installLabel() const { return "Install"; }

private:
    std::string url_;
    std::optional<std::string> version_;
};
