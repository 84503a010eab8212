#pragma once
// The system's log, for the process's own diagnostic lines (the lines a Mac
// program would hand to NSLog) and for loggers that forward to it. Lines go to
// journald (its native datagram protocol) when it is reachable, else to syslog(3). Tests replace the current
// instance with a recording fake (tests/support/RecordingSystemLog.h).
//
// Any thread may call any method; implementations are thread-safe.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace foundation {

class SystemLog {
public:
    // The syslog(3) levels; journald's PRIORITY field uses the same numbers.
    enum class Priority : int {
        Emergency = 0,
        Alert = 1,
        Critical = 2,
        Error = 3,
        Warning = 4,
        Notice = 5,
        Info = 6,
        Debug = 7,
    };

    // An extra named value sent with a line. Names follow journald's rules
    // (upper-case letters, digits and '_', not starting with '_').
    struct Field {
        std::string name;
        std::string value;
    };

    virtual ~SystemLog() = default;

    virtual void write(Priority priority, std::string_view message, const std::vector<Field>& fields) = 0;
    void write(Priority priority, std::string_view message) { write(priority, message, {}); }

    // True when extra fields reach the log with the line, so that a reader of
    // the log can match on them (journald); syslog(3) drops them.
    virtual bool carriesFields() const = 0;

    // The instance lines go to; the real system log until a test replaces it.
    static std::shared_ptr<SystemLog> current();
    // Makes log the current instance and answers the one it replaces; null
    // restores the real system log.
    static std::shared_ptr<SystemLog> setCurrent(std::shared_ptr<SystemLog> log);
    // The real system log: journald when its socket (journalSocket, journald's
    // own when empty) takes the line, syslog(3) for any line it does not. When
    // the environment names a file in TAVLO_SYSTEM_LOG_FILE, lines are appended
    // there instead, so a test running the program can read them.
    static std::shared_ptr<SystemLog> makeDefault(std::string journalSocket = {});
};

// Writes one diagnostic line to the current system log, at Warning as a Mac
// program's own log lines are.
void systemLog(std::string_view message, SystemLog::Priority priority = SystemLog::Priority::Warning);

}  // namespace foundation
