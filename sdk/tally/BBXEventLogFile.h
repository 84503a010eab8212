#pragma once
// One append-only event log file, kept open for writing while the object
// lives (a POSIX descriptor: O_APPEND, O_CLOEXEC, O_NOFOLLOW, mode 0600).
// Making one replaces whatever non-file stands at the path (a folder, a
// symbolic link) and creates the file when missing. fileSize is the size when
// opened plus every byte appended since.
//
// An append writes all its bytes or none: short writes and interruptions are
// retried, and a failed write (a full disk, the file-size limit) cuts the file
// back to where the append began, so the file always ends at a whole line and
// fileSize counts only bytes on disk. SIGXFSZ is ignored unless the program
// handles it, so the file-size limit fails the write instead of ending the
// process.
//
// Not locked: one queue uses a file at a time.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

#include "platform/foundation/Data.h"
#include "platform/foundation/Result.h"

class BBXEventLogFile {
public:
    static constexpr const char* kPOSIXErrorDomain = "NSPOSIXErrorDomain";

    // Null (logged in debug) when the file cannot be made or opened.
    static std::unique_ptr<BBXEventLogFile> initWithURL(const std::filesystem::path& fileURL);
    static std::unique_ptr<BBXEventLogFile> initWithName(const std::string& name, const std::filesystem::path& directoryURL);
    virtual ~BBXEventLogFile();
    BBXEventLogFile(const BBXEventLogFile&) = delete;
    BBXEventLogFile& operator=(const BBXEventLogFile&) = delete;

    const std::filesystem::path& fileURL() const { return fileURL_; }
    uint64_t fileSize() const { return fileSize_; }
    bool isOpen() const { return fd_ >= 0; }

    // Each requires that no descriptor is open.
    foundation::Result<void> openFileHandleForWriting();
    foundation::Result<void> openFileHandleForReading();
    void closeFileHandle();

    // Writes the bytes at the end; on failure the file and fileSize are as
    // before and the error says why.
    foundation::Result<void> appendData(std::span<const uint8_t> bytes);
    foundation::Result<void> appendData(std::string_view bytes);
    // Empties the file.
    foundation::Result<void> resetFile();
    // The file's bytes, read through a descriptor of its own; writing goes on
    // afterwards.
    foundation::Result<foundation::Data> readFromFile();

    // The write(2) every append goes through; tests put one here that fails.
    using WriteFunction = ssize_t (*)(int fd, const void* bytes, size_t count);
    static void setWriteFunction(WriteFunction write);

protected:
    explicit BBXEventLogFile(std::filesystem::path fileURL) : fileURL_(std::move(fileURL)) {}
    // The making steps; subclasses are made through make().
    bool open();
    template <class T>
    static std::unique_ptr<T> make(const std::filesystem::path& fileURL) {
        std::unique_ptr<T> file(new T(fileURL));
        if (!file->open()) return nullptr;
        return file;
    }

private:
    foundation::Result<void> openDescriptor(int flags);

    std::filesystem::path fileURL_;
    uint64_t fileSize_ = 0;
    int fd_ = -1;
};
