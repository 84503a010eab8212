#pragma once
// What the crash-reporting controller asks of the kit that owns it: the
// values the capture core is given, the settings, and the application's
// wishes about reports of earlier launches.

#include <functional>
#include <memory>
#include <optional>
#include <string>

class BBXCrashReportingController;
class BBXInternalReport;
class BBXSettings;

class BBXCrashReportingControllerDelegate {
public:
    virtual ~BBXCrashReportingControllerDelegate() = default;

    virtual std::optional<std::string> APIKeyForCrashReportingController(BBXCrashReportingController&) = 0;
    virtual std::optional<std::string> installIDForCrashReportingController(BBXCrashReportingController&) = 0;
    virtual bool isFirstInstallForCrashReportingController(BBXCrashReportingController&) = 0;
    virtual std::shared_ptr<BBXSettings> settingsForCrashReportingController(BBXCrashReportingController&) = 0;

    // Whether the controller is the capture core's crash delegate; then
    // detectedCrash runs inside the crash handler, on the crashing thread.
    virtual bool shouldInstallCrashCallback() = 0;
    virtual void detectedCrash() = 0;

    virtual bool reportingControllerCanUseBackgroundSessions(BBXCrashReportingController&) = 0;
    virtual bool reportingControllerMustInformDelegateOfReports(BBXCrashReportingController&) = 0;
    // Offers a report of an earlier launch; completion(send?) on any thread.
    virtual void reportingControllerDidDetectReportForLastExecution(BBXCrashReportingController&,
                                                                    const std::shared_ptr<BBXInternalReport>& report,
                                                                    std::function<void(bool submit)> completion) = 0;
    // Every report of an earlier launch that needs sending, before it is offered.
    virtual void reportingControllerInternalDidDetectReportForLastExecution(
        BBXCrashReportingController&, const std::shared_ptr<BBXInternalReport>& report) = 0;
    virtual bool reportingControllerEnsureDeliveryOfUnixSignal(BBXCrashReportingController&, int signal) = 0;
};
