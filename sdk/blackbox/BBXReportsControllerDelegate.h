#pragma once
// What the reports controller asks of its owner (the crash-reporting
// controller): the kit's settings, the API key and the escaped bundle
// identifier the upload address is made from; and what it tells it: how the
// upload of one packaged report ended (no error on success), and that every
// submission has ended. Questions come on the controller's calling thread,
// outcomes on the work queue or the thread of a synchronous upload.

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"

class BBXReportsController;
class BBXSettings;

class BBXReportsControllerDelegate {
public:
    virtual ~BBXReportsControllerDelegate() = default;
    virtual std::shared_ptr<BBXSettings> settingsForReportsController(BBXReportsController& controller) = 0;
    virtual std::optional<std::string> APIKeyForReportsController(BBXReportsController& controller) = 0;
    virtual std::optional<std::string> bundleIdentifierForReportsController(BBXReportsController& controller) = 0;
    virtual void reportsControllerDidCompletePackageSubmission(BBXReportsController& controller,
                                                               const std::string& path,
                                                               const std::optional<foundation::Error>& error) = 0;
    // Nothing in the kit calls it; an owner may let go of the controller here.
    virtual void reportsControllerDidCompleteAllSubmissions(BBXReportsController&) {}
};
