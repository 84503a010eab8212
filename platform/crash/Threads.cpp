#include "platform/crash/Threads.h"

#include "platform/crash/ProcFile.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace crash {

namespace {

// One thread's suspension. The futex word is the state.
enum State : uint32_t { Free, Requested, Parked, Released, Abandoned };

struct Parking {
    std::atomic<pid_t> tid{0};
    std::atomic<uint32_t> state{Free};
    ThreadRegisters registers{};
};

Parking gParking[kMaxThreads];
std::atomic<bool> gInstalled{false};

long futexWait(std::atomic<uint32_t>* word, uint32_t expected, const timespec* timeout) {
    return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, timeout, nullptr, 0);
}

void futexWake(std::atomic<uint32_t>* word) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

void release(Parking& parking) {
    parking.state.store(Free);
    parking.tid.store(0);
}

void onSuspendSignal(int, siginfo_t*, void* context) {
    int savedErrno = errno;
    pid_t self = currentThreadID();
    for (Parking& parking : gParking) {
        if (parking.tid.load() != self) continue;
        uint32_t state = parking.state.load();
        if (state == Abandoned) {
            release(parking);  // the suspender gave up on us before we came
            break;
        }
        if (state != Requested) continue;
        std::memcpy(parking.registers.gregs, static_cast<ucontext_t*>(context)->uc_mcontext.gregs,
                    sizeof parking.registers.gregs);
        uint32_t expected = Requested;
        if (!parking.state.compare_exchange_strong(expected, Parked)) {
            release(parking);
            break;
        }
        futexWake(&parking.state);
        while (parking.state.load() == Parked) futexWait(&parking.state, Parked, nullptr);
        release(parking);
        break;
    }
    errno = savedErrno;
}

Parking* parkedSlot(pid_t tid) {
    for (Parking& parking : gParking)
        if (parking.tid.load() == tid && parking.state.load() == Parked) return &parking;
    return nullptr;
}

long millisecondsSince(const timespec& start) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
}

// A one-line /proc file without its line end.
bool readLine(const char* path, char* out, size_t size) {
    long length = readProcFile(path, out, size);
    if (length < 0) return false;
    while (length > 0 && out[length - 1] == '\n') out[--length] = '\0';
    return true;
}

// "/proc/self/task/<tid>/comm" without the C library's formatting.
void taskFilePath(pid_t tid, char* path, const char* leaf) {
    const char prefix[] = "/proc/self/task/";
    std::memcpy(path, prefix, sizeof prefix - 1);
    size_t at = sizeof prefix - 1;
    char digits[16];
    size_t count = 0;
    auto value = static_cast<unsigned>(tid);
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value);
    while (count) path[at++] = digits[--count];
    path[at++] = '/';
    std::memcpy(path + at, leaf, std::strlen(leaf) + 1);
}

}  // namespace

pid_t currentThreadID() { return static_cast<pid_t>(syscall(SYS_gettid)); }

int listThreads(pid_t* tids, int capacity) {
    int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, "/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd < 0) return -1;
    struct Entry {
        uint64_t inode;
        int64_t offset;
        unsigned short length;
        unsigned char type;
        char name[1];
    };
    alignas(8) char buffer[4096];
    int count = 0;
    for (;;) {
        long got = syscall(SYS_getdents64, fd, buffer, sizeof buffer);
        if (got < 0) {
            count = -1;
            break;
        }
        if (got == 0) break;
        for (long at = 0; at < got;) {
            auto* entry = reinterpret_cast<Entry*>(buffer + at);
            at += entry->length;
            pid_t tid = 0;
            const char* name = entry->name;
            if (*name < '0' || *name > '9') continue;
            for (; *name >= '0' && *name <= '9'; ++name) tid = tid * 10 + (*name - '0');
            if (count < capacity) tids[count++] = tid;
        }
    }
    syscall(SYS_close, fd);
    return count;
}

int threadSuspensionSignal() { return SIGRTMIN + 3; }

bool installThreadSuspension() {
    if (gInstalled.load()) return true;
    struct sigaction action {};
    action.sa_sigaction = onSuspendSignal;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    if (sigaction(threadSuspensionSignal(), &action, nullptr) != 0) return false;
    gInstalled.store(true);
    return true;
}

namespace {

// Claims a slot for tid and sends it the signal; null when it cannot be asked.
Parking* requestSuspension(pid_t tid) {
    if (!gInstalled.load() || tid <= 0 || tid == currentThreadID()) return nullptr;
    Parking* parking = nullptr;
    for (Parking& candidate : gParking) {
        pid_t free = 0;
        if (candidate.state.load() == Free && candidate.tid.compare_exchange_strong(free, tid)) {
            parking = &candidate;
            break;
        }
    }
    if (!parking) return nullptr;
    parking->state.store(Requested);
    if (syscall(SYS_tgkill, getpid(), tid, threadSuspensionSignal()) != 0) {
        release(*parking);  // gone since it was listed
        return nullptr;
    }
    return parking;
}

// Waits until the thread has parked or the time since start is up.
bool awaitSuspension(Parking* parking, const timespec& start, int timeoutMilliseconds) {
    for (;;) {
        uint32_t state = parking->state.load();
        if (state == Parked) return true;
        long left = timeoutMilliseconds - millisecondsSince(start);
        if (left <= 0) break;
        timespec wait{left / 1000, (left % 1000) * 1000000};
        futexWait(&parking->state, Requested, &wait);
    }
    // Too late: the handler, should it still run, finds the slot abandoned.
    uint32_t expected = Requested;
    if (parking->state.compare_exchange_strong(expected, Abandoned)) return false;
    return expected == Parked;
}

}  // namespace

bool suspendThread(pid_t tid, int timeoutMilliseconds) {
    bool suspended = false;
    return suspendThreads(&tid, 1, &suspended, timeoutMilliseconds);
}

bool suspendThreads(const pid_t* tids, int count, bool* suspended, int timeoutMilliseconds) {
    // The slots asked for, kept in the results' places until awaited.
    Parking* asked[kMaxThreads];
    count = count < kMaxThreads ? count : kMaxThreads;
    for (int i = 0; i < count; ++i) asked[i] = requestSuspension(tids[i]);
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    bool all = true;
    for (int i = 0; i < count; ++i) {
        suspended[i] = asked[i] && awaitSuspension(asked[i], start, timeoutMilliseconds);
        all = all && suspended[i];
    }
    return all;
}

bool resumeThread(pid_t tid) {
    Parking* parking = parkedSlot(tid);
    if (!parking) return false;
    parking->state.store(Released);
    futexWake(&parking->state);
    return true;
}

bool suspendedThreadRegisters(pid_t tid, ThreadRegisters* registers) {
    Parking* parking = parkedSlot(tid);
    if (!parking || !registers) return false;
    *registers = parking->registers;
    return true;
}

bool kernelThreadName(pid_t tid, char* out, size_t size) {
    char path[64];
    taskFilePath(tid, path, "comm");
    return readLine(path, out, size);
}

bool kernelProcessName(char* out, size_t size) { return readLine("/proc/self/comm", out, size); }

}  // namespace crash
