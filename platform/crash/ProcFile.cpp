#include "platform/crash/ProcFile.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace crash {

long readProcFile(const char* path, char* buffer, size_t size) {
    if (!buffer || size == 0) return -1;
    int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC));
    if (fd < 0) return -1;
    size_t length = 0;
    while (length + 1 < size) {
        long got = syscall(SYS_read, fd, buffer + length, size - 1 - length);
        if (got <= 0) break;
        length += static_cast<size_t>(got);
    }
    syscall(SYS_close, fd);
    buffer[length] = '\0';
    return static_cast<long>(length);
}

}  // namespace crash
