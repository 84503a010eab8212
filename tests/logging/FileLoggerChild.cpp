// A separate process for the file logger tests: "append <folder> <text>" writes
// one line the way a new run of the application would; "unwritable <folder>"
// gives up its privileges, logs into a folder it may not write, makes the folder
// writable and logs again (exit 0 when only the second line arrived).
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "logging/LKFileLogger.h"
#include "logging/LKLog.h"
#include "logging/LKLogFileManagerDefault.h"

namespace {

void logLine(const std::string& text) {
    LKLog::log(false, 31, LKLogFlagError, 0, __FILE__, "main", __LINE__, nullptr, "%@", text);
}

std::shared_ptr<LKFileLogger> addLogger(const std::string& folder) {
    auto manager = std::make_shared<LKLogFileManagerDefault>(folder);
    manager->setMaximumNumberOfLogFiles(1);
    auto logger = std::make_shared<LKFileLogger>(manager);
    logger->setLogFormatter(nullptr);
    LKLog::addLogger(logger);
    return logger;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    std::string mode = argv[1], folder = argv[2];
    if (mode == "append" && argc == 4) {
        addLogger(folder);
        logLine(argv[3]);
        LKLog::flushLog();
        return 0;
    }
    if (mode == "unwritable") {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return 3;
        addLogger(folder);
        logLine("dropped");
        if (!std::filesystem::is_empty(folder)) return 4;
        if (::chmod(folder.c_str(), 0700) != 0) return 5;
        logLine("kept");
        LKLog::flushLog();
        return 0;
    }
    return 2;
}
