#include "platform/crash/MemoryReader.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

namespace crash {

namespace {

std::atomic<int> gMethod{static_cast<int>(ReadMethod::Automatic)};
// Set once the kernel refused process_vm_readv (ENOSYS, EPERM).
std::atomic<bool> gSystemCallRefused{false};

enum class Outcome { Read, Failed, Refused };

// Raw system calls throughout: the library wrappers may be intercepted by
// tools that inspect the bytes, and the bytes here may be anything.
Outcome readBySystemCall(const void* source, void* destination, size_t length) {
    iovec local{destination, length};
    iovec remote{const_cast<void*>(source), length};
    long pid = syscall(SYS_getpid);
    long read = syscall(SYS_process_vm_readv, pid, &local, 1UL, &remote, 1UL, 0UL);
    if (read == static_cast<long>(length)) return Outcome::Read;
    if (read < 0 && (errno == ENOSYS || errno == EPERM)) return Outcome::Refused;
    return Outcome::Failed;
}

bool readByPipe(const void* source, void* destination, size_t length) {
    int fds[2];
    if (syscall(SYS_pipe2, fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    // Chunks of one page: a pipe holds at least that much, so every write
    // either takes the chunk whole or fails on a bad byte.
    constexpr size_t kChunk = 4096;
    auto* from = static_cast<const uint8_t*>(source);
    auto* to = static_cast<uint8_t*>(destination);
    bool ok = true;
    for (size_t done = 0; ok && done < length;) {
        size_t chunk = length - done < kChunk ? length - done : kChunk;
        long written = syscall(SYS_write, fds[1], from + done, chunk);
        if (written != static_cast<long>(chunk)) {
            ok = false;
            break;
        }
        for (size_t got = 0; got < chunk;) {
            long read = syscall(SYS_read, fds[0], to + done + got, chunk - got);
            if (read <= 0) {
                ok = false;
                break;
            }
            got += static_cast<size_t>(read);
        }
        done += chunk;
    }
    syscall(SYS_close, fds[0]);
    syscall(SYS_close, fds[1]);
    return ok;
}

}  // namespace

bool readMemory(const void* source, void* destination, size_t length) {
    if (length == 0) return true;
    if (!source || !destination) return false;
    auto method = static_cast<ReadMethod>(gMethod.load(std::memory_order_relaxed));
    if (method == ReadMethod::Pipe) return readByPipe(source, destination, length);
    if (method == ReadMethod::Automatic && gSystemCallRefused.load(std::memory_order_relaxed))
        return readByPipe(source, destination, length);
    int savedErrno = errno;
    Outcome outcome = readBySystemCall(source, destination, length);
    errno = savedErrno;
    if (outcome == Outcome::Read) return true;
    if (outcome == Outcome::Failed) return false;
    gSystemCallRefused.store(true, std::memory_order_relaxed);
    return method == ReadMethod::Automatic && readByPipe(source, destination, length);
}

void setReadMethod(ReadMethod method) { gMethod.store(static_cast<int>(method)); }

ReadMethod readMethod() { return static_cast<ReadMethod>(gMethod.load()); }

bool systemCallReadAvailable() {
    int probe = 0x5a;
    int copy = 0;
    return readBySystemCall(&probe, &copy, sizeof probe) == Outcome::Read && copy == probe;
}

}  // namespace crash
