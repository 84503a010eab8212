#pragma once
// What a file logger needs of the owner of its log folder: the folder, its log
// files (unsorted, or newest first), a new file, and the limits on how many and
// how much of them are kept. The two notifications are optional; a manager says
// which it implements.
//
// Runs on the file logger's queue, except where an implementation says otherwise.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class LKLogFileInfo;

class LKLogFileManager {
public:
    virtual ~LKLogFileManager() = default;

    virtual std::string logsDirectory() = 0;
    virtual std::vector<std::string> unsortedLogFilePaths() = 0;
    virtual std::vector<std::string> unsortedLogFileNames() = 0;
    virtual std::vector<std::shared_ptr<LKLogFileInfo>> unsortedLogFileInfos() = 0;
    virtual std::vector<std::string> sortedLogFilePaths() = 0;
    virtual std::vector<std::string> sortedLogFileNames() = 0;
    virtual std::vector<std::shared_ptr<LKLogFileInfo>> sortedLogFileInfos() = 0;
    // Creates an empty log file and answers its path.
    virtual std::string createNewLogFile() = 0;

    // 0 means no limit.
    virtual uint64_t maximumNumberOfLogFiles() const = 0;
    virtual void setMaximumNumberOfLogFiles(uint64_t count) = 0;
    // Bytes; 0 means no quota.
    virtual uint64_t logFilesDiskQuota() const = 0;
    virtual void setLogFilesDiskQuota(uint64_t bytes) = 0;

    virtual void didArchiveLogFile(const std::string& logFilePath) { (void)logFilePath; }
    virtual bool implementsDidArchiveLogFile() const { return false; }
    virtual void didRollAndArchiveLogFile(const std::string& logFilePath) { (void)logFilePath; }
    virtual bool implementsDidRollAndArchiveLogFile() const { return false; }
};
