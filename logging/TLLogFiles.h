#pragma once
// The application's log files: one folder per log context ("Sync", "Pasteboard",
// "General") inside "Logs/Tavlo" of the user's Application Support folder
// ($XDG_DATA_HOME), each written by a file logger that keeps a single file and
// begins a new one every day or at 1 MiB. Start-up calls addFileLoggers() once.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "LKFileLogger.h"

class TLLogFiles {
public:
    // The folder holding every context's folder: "Logs/Tavlo" of Application Support.
    static std::string logsDirectory();
    // The context's folder name, or empty for a context without log file.
    static std::string folderNameForContext(int64_t context);
    // The folder of the context's log file, or empty for a context without one.
    static std::string logsDirectoryForContext(int64_t context);
    // Makes, for Sync, Pasteboard and General in this order, a file manager
    // keeping 1 file, a file logger rolling daily with the application's
    // formatter for that context, and adds the logger to LKLog.
    static std::vector<std::shared_ptr<LKFileLogger>> addFileLoggers();
};
