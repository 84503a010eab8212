#pragma once
// What an application may want to hear from the crash kit. Every operation is
// optional: implementedOperations() tells which ones the delegate answers
// (the kit behaves differently for an operation that is not there, not for
// one that answers a default), and the kit calls only those.

#include <functional>
#include <memory>
#include <string>

class Blackbox;
class BBXCrashReport;

class BlackboxDelegate {
public:
    enum Operation : unsigned {
        DidDetectReportForLastExecution = 1u << 0,
        CanUseBackgroundSessions = 1u << 1,
        DidDetectCrash = 1u << 2,
        EnsureDeliveryOfUnixSignal = 1u << 3,
        // The two legacy notices of a report of an earlier launch.
        DidDetectCrashDuringPreviousExecutionWithReport = 1u << 4,
        DidDetectCrashDuringPreviousExecution = 1u << 5,
    };

    virtual ~BlackboxDelegate() = default;

    // A mask of Operation.
    virtual unsigned implementedOperations() const = 0;
    // A name for the delegate in log lines.
    virtual std::string description() const { return "BlackboxDelegate"; }

    // Once per report of an earlier launch that needs sending; the handler
    // is called with true (send) or false (delete), on any thread, at any time.
    virtual void blackboxDidDetectReportForLastExecution(const std::shared_ptr<BBXCrashReport>&,
                                                         std::function<void(bool submit)> completionHandler) {
        completionHandler(true);
    }
    virtual bool blackboxCanUseBackgroundSessions(Blackbox&) { return true; }
    // Inside the crash handler, on the crashing thread: nothing here may
    // allocate or lock.
    virtual void blackboxDidDetectCrash(Blackbox&) {}
    virtual bool blackboxEnsureDeliveryOfUnixSignal(Blackbox&, int) { return false; }
    virtual void blackboxDidDetectCrashDuringPreviousExecution(Blackbox&, const std::shared_ptr<BBXCrashReport>&) {}
    virtual void blackboxDidDetectCrashDuringPreviousExecution(Blackbox&) {}

    bool implements(Operation operation) const { return (implementedOperations() & operation) != 0; }
};
