#include "sdk/beacon/BCNFileOutputStream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

void BCNFileOutputStream::open() {
    if (fd_ >= 0) return;
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
}

long BCNFileOutputStream::write(const uint8_t* bytes, size_t length) {
    if (fd_ < 0) return -1;
    size_t written = 0;
    while (written < length) {
        ssize_t n = ::write(fd_, bytes + written, length - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return written > 0 ? static_cast<long>(written) : -1;
        written += static_cast<size_t>(n);
    }
    return static_cast<long>(written);
}

void BCNFileOutputStream::close() {
    if (fd_ < 0) return;
    ::fsync(fd_);
    ::close(fd_);
    fd_ = -1;
}
