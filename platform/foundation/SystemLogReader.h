#pragma once
// Reading back the system's log: the entries one process wrote, in the order the
// log keeps them, and word when new entries may have arrived. The real reader
// is journald's journal (libsystemd); without a readable journal there is
// none. Tests replace the current reader with a fake
// (tests/support/FakeSystemJournal.h).
//
// Any thread may call; implementations are thread-safe.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Result.h"

namespace foundation {

class SystemLogReader {
public:
    struct Entry {
        // Where the entry sits in the log; entriesAfter() starts behind it.
        std::string position;
        // Every named value of the entry ("MESSAGE", "PRIORITY", extra fields).
        std::map<std::string, std::string> fields;
        // Seconds since 1970, when the log recorded the time.
        std::optional<double> time;

        std::optional<std::string> field(const std::string& name) const;
    };

    // Keeps calling its handler while it lives; destroying it stops the calls
    // and waits for one that is running to return.
    class Watch {
    public:
        virtual ~Watch() = default;
    };

    virtual ~SystemLogReader() = default;

    // The process's entries behind the one at position, oldest first.
    virtual std::vector<Entry> entriesAfter(const std::string& position, int64_t pid) = 0;
    // The process's entries recorded at or after time (seconds since 1970), oldest first.
    virtual std::vector<Entry> entriesSince(double time, int64_t pid) = 0;
    // Calls onChange, on a thread of the reader's, whenever new entries may be
    // there (also now and then when none came, so a watcher can look around).
    virtual std::unique_ptr<Watch> watch(std::function<void()> onChange) = 0;

    // The journal, or an error when this process can read none.
    static Result<std::shared_ptr<SystemLogReader>> openJournal();
    // The reader in use: the journal unless a test replaced it; null when there
    // is no readable journal.
    static std::shared_ptr<SystemLogReader> current();
    // Makes reader the current one and answers the one it replaces; null goes
    // back to the journal.
    static std::shared_ptr<SystemLogReader> setCurrent(std::shared_ptr<SystemLogReader> reader);
};

}  // namespace foundation
