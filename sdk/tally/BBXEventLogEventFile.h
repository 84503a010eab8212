#pragma once
// An event log file that takes whole events: each append is one event's line.

#include <memory>

#include "sdk/tally/BBXEventLogEvent.h"
#include "sdk/tally/BBXEventLogFile.h"

class BBXEventLogEventFile : public BBXEventLogFile {
public:
    static std::unique_ptr<BBXEventLogEventFile> initWithURL(const std::filesystem::path& fileURL);
    static std::unique_ptr<BBXEventLogEventFile> initWithName(const std::string& name,
                                                              const std::filesystem::path& directoryURL);

    foundation::Result<void> appendEvent(const BBXEventLogEvent& event);

private:
    friend class BBXEventLogFile;
    using BBXEventLogFile::BBXEventLogFile;
};
