#pragma once
// Where the desktop layer's notes go: content it left out of a read, a
// notification the session did not show. The layer keeps no log of its own;
// the application hands it a sink once at start-up (its log files, with the
// topic as the log context). Without a sink the notes go to the system log.
// Any thread.

#include <functional>
#include <string>

namespace desktop {

enum class LogTopic { General, Pasteboard };

struct LogNote {
    LogTopic topic = LogTopic::General;
    std::string text;
    const char* file = "";      // __FILE__ of the caller
    const char* function = "";  // __PRETTY_FUNCTION__ of the caller
    int line = 0;
};

using LogSink = std::function<void(const LogNote&)>;

// Null sends the notes to the system log again.
void setLogSink(LogSink sink);
void logNote(const LogNote& note);

}  // namespace desktop

#define DESKTOP_LOG_NOTE(topic, text) ::desktop::logNote({(topic), (text), __FILE__, __PRETTY_FUNCTION__, __LINE__})
