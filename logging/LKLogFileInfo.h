#pragma once
// A snapshot of one log file: its path, name, attributes and dates, read on first
// use and kept until reset(), and its archived mark, which lives on the file as
// an extended attribute (under the "user." namespace) and is read every time.
//
// Not shared between threads: a file logger uses its infos on its own queue.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "LKLogMessage.h"

class LKLogFileInfo {
public:
    // What the file system says about the file. A file that could not be read
    // has exists == false and zero values.
    struct Attributes {
        bool exists = false;
        uint64_t size = 0;
        // The birth time, where the file system records one.
        std::optional<logging::Timestamp> creationDate;
        logging::Timestamp modificationDate{};
        mode_t permissions = 0;
        std::string description() const;
    };

    static std::shared_ptr<LKLogFileInfo> logFileWithPath(std::string filePath);
    explicit LKLogFileInfo(std::string filePath);
    // An info whose attributes are already known (a listing that read them).
    LKLogFileInfo(std::string filePath, Attributes attributes);

    const std::string& filePath() const { return filePath_; }
    const std::string& fileName();
    const Attributes& fileAttributes();
    // The birth time; where the file system keeps none, the minute in the file's
    // name, else its modification time.
    std::optional<logging::Timestamp> creationDate();
    std::optional<logging::Timestamp> modificationDate();
    uint64_t fileSize();
    // Seconds since creationDate, measured against currentDate().
    double age();

    bool isArchived();
    void setIsArchived(bool archived);
    // Marks through an open descriptor of the file, so the mark reaches the file
    // that was written even after it was moved or unlinked.
    void setIsArchived(bool archived, int fd);

    void reset();
    void renameFile(const std::string& newName);

    // Names without a namespace go under "user.".
    bool hasExtendedAttributeWithName(const std::string& name);
    void addExtendedAttributeWithName(const std::string& name);
    void removeExtendedAttributeWithName(const std::string& name);

    bool isEqual(const LKLogFileInfo& other) const { return filePath_ == other.filePath_; }
    bool operator==(const LKLogFileInfo& other) const { return isEqual(other); }
    // -1 when this file sorts first (its date is later), 1 when other does, 0 on
    // equal or missing dates.
    int reverseCompareByCreationDate(LKLogFileInfo& other);
    int reverseCompareByModificationDate(LKLogFileInfo& other);

    std::string description();

    // The wall time ages are measured against: the system clock unless a test
    // set a provider; null restores the system clock. Any thread.
    static logging::Timestamp currentDate();
    static void setCurrentDateProvider(std::function<logging::Timestamp()> provider);

    static constexpr const char* kArchivedAttributeName = "logcore.log.archived";

private:
    std::string filePath_;
    std::optional<std::string> fileName_;
    std::optional<Attributes> attributes_;
};
