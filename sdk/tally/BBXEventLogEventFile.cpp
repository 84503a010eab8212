#include "sdk/tally/BBXEventLogEventFile.h"

std::unique_ptr<BBXEventLogEventFile> BBXEventLogEventFile::initWithURL(const std::filesystem::path& fileURL) {
    return make<BBXEventLogEventFile>(fileURL);
}

std::unique_ptr<BBXEventLogEventFile> BBXEventLogEventFile::initWithName(const std::string& name,
                                                                         const std::filesystem::path& directoryURL) {
    return initWithURL(directoryURL / name);
}

foundation::Result<void> BBXEventLogEventFile::appendEvent(const BBXEventLogEvent& event) {
    std::string line;
    event.appendEventData(line);
    return appendData(line);
}
