#include "TLLogFiles.h"

#include <filesystem>

#include "LKLog.h"
#include "LKLogFileManagerDefault.h"
#include "TLLog.h"
#include "TLLogFormatter.h"
#include "platform/foundation/Paths.h"

std::string TLLogFiles::folderNameForContext(int64_t context) {
    switch (context) {
    case TLLogContextSync: return "Sync";
    case TLLogContextPasteboard: return "Pasteboard";
    case TLLogContextGeneral: return "General";
    default: return {};
    }
}

std::string TLLogFiles::logsDirectory() {
    return (foundation::Paths::applicationSupport() / "Logs" / "Tavlo").string();
}

std::string TLLogFiles::logsDirectoryForContext(int64_t context) {
    std::string folder = folderNameForContext(context);
    if (folder.empty()) return {};
    return (std::filesystem::path(logsDirectory()) / folder).string();
}

std::vector<std::shared_ptr<LKFileLogger>> TLLogFiles::addFileLoggers() {
    std::vector<std::shared_ptr<LKFileLogger>> loggers;
    for (int64_t context : {TLLogContextSync, TLLogContextPasteboard, TLLogContextGeneral}) {
        auto manager = std::make_shared<LKLogFileManagerDefault>(logsDirectoryForContext(context));
        manager->setMaximumNumberOfLogFiles(1);
        auto logger = std::make_shared<LKFileLogger>(manager);
        logger->setRollingFrequency(60 * 60 * 24);
        auto formatter = std::make_shared<TLLogFormatter>();
        formatter->setWhitelist(context);
        logger->setLogFormatter(formatter);
        LKLog::addLogger(logger);
        loggers.push_back(logger);
    }
    return loggers;
}
