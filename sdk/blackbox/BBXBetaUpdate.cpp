#include "sdk/blackbox/BBXBetaUpdate.h"

#include <QUrl>

#include "platform/foundation/Format.h"
#include "sdk/beacon/BCNApplication.h"

std::shared_ptr<BBXBetaUpdate> BBXBetaUpdate::betaUpdateWithDictionary(const foundation::PlistValue& value,
                                                                       foundation::Error* error) {
    const foundation::PlistValue* url = value.asDictionary() ? value.get("url") : nullptr;
    if (url && url->asString()) {
        QUrl parsed(QString::fromStdString(*url->asString()), QUrl::StrictMode);
        if (parsed.isValid() && !parsed.scheme().isEmpty() && !parsed.host().isEmpty()) {
            const foundation::PlistValue* version = value.get("version_string");
            std::optional<std::string> versionText;
            if (version && version->asString()) versionText = *version->asString();
            return std::make_shared<BBXBetaUpdate>(*url->asString(), versionText);
        }
    }
    if (error) *error = foundation::Error(kURLErrorDomain, kCannotParseResponse, "cannot parse response");
    return nullptr;
}

std::string BBXBetaUpdate::promptMessage() const {
    return foundation::format("A new version of %@ is available for testing.", BCNApplicationGetName().value_or(""));
}
