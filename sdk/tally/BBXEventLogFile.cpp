#include "sdk/tally/BBXEventLogFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/foundation/FileSizeSignal.h"
#include "platform/foundation/Format.h"
#include "sdk/tally/TallyLog.h"

namespace {

std::atomic<BBXEventLogFile::WriteFunction> gWrite{&::write};

foundation::Error posixError(int code, const std::filesystem::path& path) {
    foundation::Error error(BBXEventLogFile::kPOSIXErrorDomain, code, std::strerror(code));
    error.userInfo["NSFilePath"] = path.string();
    return error;
}

}  // namespace

void BBXEventLogFile::setWriteFunction(WriteFunction write) { gWrite.store(write ? write : &::write); }

std::unique_ptr<BBXEventLogFile> BBXEventLogFile::initWithURL(const std::filesystem::path& fileURL) {
    return make<BBXEventLogFile>(fileURL);
}

std::unique_ptr<BBXEventLogFile> BBXEventLogFile::initWithName(const std::string& name,
                                                               const std::filesystem::path& directoryURL) {
    return initWithURL(directoryURL / name);
}

BBXEventLogFile::~BBXEventLogFile() { closeFileHandle(); }

bool BBXEventLogFile::open() {
    foundation::ignoreFileSizeSignalUnlessHandled();
    const std::string path = fileURL_.string();
    // Only a regular file may stand at the path: a folder is removed with what it
    // holds, and a link itself (never what it points at).
    struct stat item {};
    if (::lstat(path.c_str(), &item) == 0 && !S_ISREG(item.st_mode)) {
        std::error_code failure;
        if (S_ISDIR(item.st_mode)) std::filesystem::remove_all(fileURL_, failure);
        else std::filesystem::remove(fileURL_, failure);
        if (failure)
            tally::debugLog(foundation::format(
                "[Blackbox:Tally] BBXEventLogFile: Unable to delete blocking directory %@ [error: %@]", path,
                failure.message()));
    }
    int created = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (created >= 0) ::close(created);
    if (::lstat(path.c_str(), &item) != 0 || !S_ISREG(item.st_mode)) {
        int code = errno ? errno : EEXIST;
        tally::debugLog(foundation::format(
            "[Blackbox:Tally] BBXEventLogFile: Unable to get attributes for item at path %@ [error: %@]", path,
            posixError(code, fileURL_)));
        return false;
    }
    fileSize_ = static_cast<uint64_t>(item.st_size);
    if (auto opened = openFileHandleForWriting(); !opened.ok()) {
        tally::debugLog(foundation::format(
            "[Blackbox:Tally] BBXEventLogFile: Unable to get open file for writing at path %@ [error: %@]", path,
            opened.error()));
        return false;
    }
    return true;
}

foundation::Result<void> BBXEventLogFile::openDescriptor(int flags) {
    if (fd_ >= 0) return posixError(EBUSY, fileURL_);
    int fd;
    do {
        fd = ::open(fileURL_.c_str(), flags | O_CLOEXEC | O_NOFOLLOW);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return posixError(errno, fileURL_);
    fd_ = fd;
    return {};
}

foundation::Result<void> BBXEventLogFile::openFileHandleForWriting() { return openDescriptor(O_WRONLY | O_APPEND); }

foundation::Result<void> BBXEventLogFile::openFileHandleForReading() { return openDescriptor(O_RDONLY); }

void BBXEventLogFile::closeFileHandle() {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
}

foundation::Result<void> BBXEventLogFile::appendData(std::string_view bytes) {
    return appendData(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

foundation::Result<void> BBXEventLogFile::appendData(std::span<const uint8_t> bytes) {
    if (fd_ < 0) return posixError(EBADF, fileURL_);
    WriteFunction write = gWrite.load();
    size_t written = 0;
    while (written < bytes.size()) {
        ssize_t n = write(fd_, bytes.data() + written, bytes.size() - written);
        if (n > 0) {
            written += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        int code = n < 0 ? errno : ENOSPC;  // a write that takes nothing makes no progress
        // Cut the part of this line that did reach the file, so the file ends at
        // its last whole line.
        if (written > 0) {
            struct stat now {};
            if (::fstat(fd_, &now) == 0 && static_cast<uint64_t>(now.st_size) >= written) {
                int result;
                do {
                    result = ::ftruncate(fd_, now.st_size - static_cast<off_t>(written));
                } while (result != 0 && errno == EINTR);
            }
        }
        return posixError(code, fileURL_);
    }
    fileSize_ += written;
    return {};
}

foundation::Result<void> BBXEventLogFile::resetFile() {
    if (fd_ < 0) return posixError(EBADF, fileURL_);
    if (::ftruncate(fd_, 0) != 0) return posixError(errno, fileURL_);
    fileSize_ = 0;
    return {};
}

foundation::Result<foundation::Data> BBXEventLogFile::readFromFile() {
    closeFileHandle();
    std::optional<foundation::Error> readError;
    foundation::Data contents;
    if (auto opened = openFileHandleForReading(); opened.ok()) {
        char buffer[65536];
        for (;;) {
            ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n > 0) contents.append(buffer, static_cast<size_t>(n));
            else if (n < 0 && errno == EINTR) continue;
            else {
                if (n < 0) readError = posixError(errno, fileURL_);
                break;
            }
        }
        closeFileHandle();
    } else {
        readError = opened.error();
    }
    if (auto reopened = openFileHandleForWriting(); !reopened.ok()) {
        if (readError) {
            tally::debugLog(foundation::format(
                "[Blackbox:Tally] BBXEventLogFile: Unable to reopen file for writing at path %@ [error: %@]",
                fileURL_.string(), reopened.error().localizedDescription()));
            return *readError;
        }
        return reopened.error();
    }
    if (readError) return *readError;
    return contents;
}
