#pragma once
// Sends log messages to the system's log (journald, else syslog), each marked
// with the field LKLOG=1 so that LKASLLogCapture does not read it back in.
// Messages that the capture took from the system log are not sent again.
//
// Runs on its logger's queue, like every logger. The lines go to
// foundation::SystemLog::current() at the time of each message.

#include <memory>

#include "LKAbstractLogger.h"
#include "platform/foundation/SystemLog.h"

// The field that marks the facility's own lines in the system log.
constexpr const char* LKASLLoggerMarkerField = "LKLOG";
constexpr const char* LKASLLoggerMarkerValue = "1";

class LKASLLogger : public LKAbstractLogger {
public:
    // The one system-log logger of the process.
    static std::shared_ptr<LKASLLogger> sharedInstance();
    // Another one; none once the shared one exists.
    static std::shared_ptr<LKASLLogger> create();

    // The system-log priority a flag is sent with: error 2, warning 3, info 4, else 5.
    static foundation::SystemLog::Priority priorityForFlag(uint64_t flag);

    void logMessage(const std::shared_ptr<const LKLogMessage>& message) override;
    std::string loggerName() const override { return "logcore.aslLogger"; }
};
