#pragma once
// Owns one folder of log files named "<application> yyyy-MM-dd HH-mm.log" (GMT;
// " 2", " 3"... before ".log" for later files of the same minute): creates the
// folder and new files, recognises its own files and ignores every other one,
// lists them newest first, and deletes the surplus beyond a count limit and a
// disk quota, never the newest file while it is being written.
//
// The file operations run on the file logger's queue; a change of a limit runs
// its deletion pass on the logging queue. The limits may be read and set from
// any thread. Create it with std::make_shared so the deletion pass can follow it.

#include <atomic>
#include <mutex>
#include <optional>
#include <string>

#include "LKLogFileManager.h"
#include "LKLogMessage.h"

class LKLogFileManagerDefault : public LKLogFileManager, public std::enable_shared_from_this<LKLogFileManagerDefault> {
public:
    static constexpr uint64_t kDefaultMaximumNumberOfLogFiles = 5;
    static constexpr uint64_t kDefaultLogFilesDiskQuota = 20 * 1024 * 1024;

    // The default folder: the user's state folder, "Logs", the process name.
    LKLogFileManagerDefault();
    // Without a folder, the default folder.
    explicit LKLogFileManagerDefault(std::optional<std::string> logsDirectory);

    // Creates the folder when it is missing; a failure goes to the system log
    // (once until the folder can be made) and the path is answered all the same.
    std::string logsDirectory() override;
    std::vector<std::string> unsortedLogFilePaths() override;
    std::vector<std::string> unsortedLogFileNames() override;
    std::vector<std::shared_ptr<LKLogFileInfo>> unsortedLogFileInfos() override;
    std::vector<std::string> sortedLogFilePaths() override;
    std::vector<std::string> sortedLogFileNames() override;
    std::vector<std::shared_ptr<LKLogFileInfo>> sortedLogFileInfos() override;
    std::string createNewLogFile() override;

    uint64_t maximumNumberOfLogFiles() const override { return maximumNumberOfLogFiles_; }
    void setMaximumNumberOfLogFiles(uint64_t count) override;
    uint64_t logFilesDiskQuota() const override { return logFilesDiskQuota_; }
    void setLogFilesDiskQuota(uint64_t bytes) override;

    // A name for a file made now, without numbering.
    std::string newLogFileName() const;
    bool isLogFile(const std::string& fileName) const;
    void deleteOldLogFiles();

    // The name every log file begins with, settled once per process: the main
    // bundle's identifier, else the process name.
    static const std::string& applicationName();
    static std::string defaultLogsDirectory();
    // Newest first by creation date. Files born at the same instant order by the
    // minute and number in their names, then by modification date, so the file
    // made last always comes first.
    static void sortNewestFirst(std::vector<std::shared_ptr<LKLogFileInfo>>& infos);

private:
    void limitsChanged();
    void deleteOldLogFilesLocked();

    const std::string logsDirectory_;
    std::atomic<uint64_t> maximumNumberOfLogFiles_{kDefaultMaximumNumberOfLogFiles};
    std::atomic<uint64_t> logFilesDiskQuota_{kDefaultLogFilesDiskQuota};

    std::mutex filesMutex_;    // creation and deletion passes, from either queue
    std::string createdPath_;  // the file made last; never deleted while unarchived
    std::mutex reportMutex_;
    std::string reportedFolderError_;  // the folder failure last written to the system log
};
