#include "platform/crash/ExceptionPorts.h"

#include <linux/futex.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "platform/crash/Threads.h"

namespace crash {

namespace {

enum PortState : uint32_t { PortFree, PortClaimed, PortInUse };

struct Port {
    std::atomic<uint32_t> state{PortFree};
    std::atomic<int> receiveFD{-1};
    std::atomic<int> sendFD{-1};
    std::atomic<pid_t> owner{0};
};

Port gPorts[kMaxPorts];

// One slot per exception type: port (16 bits), flavour (16 bits), behaviour (32 bits).
std::atomic<uint64_t> gExceptionPorts[kExceptionTypeCount];

uint64_t packSlot(PortName port, int32_t behavior, int32_t flavor) {
    return (static_cast<uint64_t>(port & 0xffff) << 48) | (static_cast<uint64_t>(static_cast<uint16_t>(flavor)) << 32) |
           static_cast<uint32_t>(behavior);
}
ExceptionPortEntry unpackSlot(uint64_t slot, uint32_t mask) {
    return ExceptionPortEntry{mask, static_cast<PortName>(slot >> 48), static_cast<int32_t>(slot & 0xffffffffu),
                              static_cast<int32_t>(static_cast<int16_t>((slot >> 32) & 0xffff))};
}

Port* portFor(PortName name) {
    if (name == kPortNull || name > static_cast<PortName>(kMaxPorts)) return nullptr;
    Port* port = &gPorts[name - 1];
    return port->state.load() == PortInUse ? port : nullptr;
}

// The actions the fault entry delivers to, two copies per signal: a writer
// fills the one not in use and then flips the index.
constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP};
constexpr int kFaultSignalCount = 5;

struct VirtualAction {
    struct sigaction copies[2];
    std::atomic<int> current{0};
};
VirtualAction gActions[kFaultSignalCount];
std::atomic<bool> gFaultEntryInstalled{false};

int faultIndex(int signal) {
    for (int i = 0; i < kFaultSignalCount; ++i)
        if (kFaultSignals[i] == signal) return i;
    return -1;
}

// The kernel's own action record, reached past any library's sigaction.
struct KernelAction {
    void* handler;
    unsigned long flags;
    void* restorer;
    uint64_t mask;
};

void setKernelDefault(int signal) {
    KernelAction action{reinterpret_cast<void*>(SIG_DFL), 0, nullptr, 0};
    syscall(SYS_rt_sigaction, signal, &action, nullptr, sizeof action.mask);
}

// Threads waiting in the fault entry for an answer, with their registers.
constexpr int kWaitingSlots = 64;
struct Waiting {
    std::atomic<pid_t> tid{0};
    std::atomic<const ucontext_t*> context{nullptr};
};
Waiting gWaiting[kWaitingSlots];

Waiting* publishWaiting(pid_t tid, const ucontext_t* context) {
    for (Waiting& slot : gWaiting) {
        pid_t expected = 0;
        if (slot.tid.compare_exchange_strong(expected, tid)) {
            slot.context.store(context);
            return &slot;
        }
    }
    return nullptr;
}

// The thread whose fault is being handled; a fault of another thread waits
// until that one is through, so it cannot end the process in the middle of a
// recording.
std::atomic<int32_t> gHandlingThread{0};
constexpr int kHandlingWaitSeconds = 20;

// False when another thread held on past the wait.
bool takeHandling(pid_t self) {
    for (int waited = 0; waited < kHandlingWaitSeconds * 10; ++waited) {
        int32_t holder = 0;
        if (gHandlingThread.compare_exchange_strong(holder, self) || holder == self) return true;
        timespec tenth{0, 100 * 1000 * 1000};
        syscall(SYS_futex, reinterpret_cast<int32_t*>(&gHandlingThread), FUTEX_WAIT_PRIVATE, holder, &tenth, nullptr,
                0);
    }
    return false;
}

void releaseHandling(pid_t self) {
    int32_t holder = self;
    if (gHandlingThread.compare_exchange_strong(holder, 0))
        syscall(SYS_futex, reinterpret_cast<int32_t*>(&gHandlingThread), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr,
                nullptr, 0);
}

std::atomic<pid_t> gRecoveryThread{0};
std::atomic<sigjmp_buf*> gRecoveryPoint{nullptr};

constexpr int kReplyWaitSeconds = 10;

// Sends the exception to port and waits for the answer; kReturnFailure when
// no answer comes.
int32_t raiseException(PortName port, const FaultException& exception, pid_t self, const ucontext_t* context) {
    PortName replyPort = allocatePort();
    if (replyPort == kPortNull) return kReturnFailure;
    Port* reply = portFor(replyPort);
    // A server that stopped answering must not hold the thread for ever.
    timeval timeout{kReplyWaitSeconds, 0};
    setsockopt(reply->receiveFD.load(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    ExceptionRequest request;
    std::memset(&request, 0, sizeof request);
    request.header.bits = 0x80001513;  // complex; make-send-once reply, copy-send remote
    request.header.size = sizeof request - 8;
    request.header.remotePort = port;
    request.header.localPort = replyPort;
    request.header.id = kExceptionRaiseID;
    request.descriptorCount = 2;
    request.thread.name = static_cast<PortName>(self) << 8;
    request.thread.disposition = 17;
    request.task.name = taskSelf();
    request.task.disposition = 17;
    request.ndr = kStandardNDR;
    request.exception = exception.type;
    request.codeCount = exception.codeCount;
    request.codes[0] = exception.codes[0];
    request.codes[1] = exception.codes[1];
    request.trailerSize = 8;

    Waiting* waiting = publishWaiting(self, context);
    int32_t code = kReturnFailure;
    if (sendMessage(port, &request, sizeof request)) {
        ExceptionReply answer;
        for (;;) {
            long got = receiveMessage(replyPort, &answer, sizeof answer);
            if (got < 0 && errno == EINTR) continue;  // suspended and resumed while waiting
            if (got == static_cast<long>(sizeof answer) && answer.header.id == kExceptionRaiseID + kReplyIDOffset)
                code = answer.returnCode;
            break;
        }
    }
    if (waiting) {
        waiting->context.store(nullptr);
        waiting->tid.store(0);
    }
    deallocatePort(replyPort);
    return code;
}

// Hands the signal to the action the layer keeps for it.
void deliver(int signal, siginfo_t* info, ucontext_t* context, bool repeats) {
    int index = faultIndex(signal);
    VirtualAction& slot = gActions[index];
    struct sigaction action = slot.copies[slot.current.load()];
    bool ignored = !(action.sa_flags & SA_SIGINFO) && action.sa_handler == SIG_IGN;
    if (ignored && !repeats) return;
    if ((!(action.sa_flags & SA_SIGINFO) && action.sa_handler == SIG_DFL) || ignored) {
        // The kernel's default ends the process: at once when the fault comes
        // back, else through the same signal sent again.
        setKernelDefault(signal);
        if (!repeats) syscall(SYS_tgkill, getpid(), currentThreadID(), signal);
        return;
    }
    if (action.sa_flags & SA_RESETHAND) {
        struct sigaction standard;
        std::memset(&standard, 0, sizeof standard);
        standard.sa_handler = SIG_DFL;
        signalAction(signal, &standard, nullptr);
    }
    sigset_t previousMask;
    pthread_sigmask(SIG_BLOCK, &action.sa_mask, &previousMask);
    if (action.sa_flags & SA_SIGINFO) action.sa_sigaction(signal, info, context);
    else action.sa_handler(signal);
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
}

void faultEntry(int signal, siginfo_t* info, void* raw) {
    int savedErrno = errno;
    auto* context = static_cast<ucontext_t*>(raw);
    pid_t self = currentThreadID();
    if (gRecoveryThread.load() == self) {
        if (sigjmp_buf* point = gRecoveryPoint.load()) siglongjmp(*point, 1);
    }
    bool nested = gHandlingThread.load() == self;
    bool handling = takeHandling(self);
    // kill, tgkill and sigqueue send signals, not faults: nothing repeats them.
    bool sent = info && info->si_code <= 0;
    bool repeats = !sent && signal != SIGTRAP;
    bool answered = false;
    if (!sent) {
        FaultException exception = exceptionForFault(signal, info, context);
        PortName port = exceptionPortFor(exception.type);
        Port* target = portFor(port);
        // The port's own server never waits for itself.
        if (target && target->owner.load() != self)
            answered = raiseException(port, exception, self, context) == kReturnSuccess && repeats;
    }
    if (!answered) deliver(signal, info, context, repeats);
    if (handling && !nested) releaseHandling(self);
    errno = savedErrno;
}

}  // namespace

PortName allocatePort() {
    for (int i = 0; i < kMaxPorts; ++i) {
        uint32_t expected = PortFree;
        if (!gPorts[i].state.compare_exchange_strong(expected, PortClaimed)) continue;
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) {
            gPorts[i].state.store(PortFree);
            return kPortNull;
        }
        gPorts[i].receiveFD.store(fds[0]);
        gPorts[i].sendFD.store(fds[1]);
        gPorts[i].owner.store(0);
        gPorts[i].state.store(PortInUse);
        return static_cast<PortName>(i + 1);
    }
    return kPortNull;
}

void deallocatePort(PortName name) {
    Port* port = portFor(name);
    if (!port) return;
    uint32_t expected = PortInUse;
    if (!port->state.compare_exchange_strong(expected, PortClaimed)) return;
    ::close(port->receiveFD.exchange(-1));
    ::close(port->sendFD.exchange(-1));
    port->owner.store(0);
    port->state.store(PortFree);
}

bool portIsValid(PortName port) { return portFor(port) != nullptr; }

bool sendMessage(PortName name, const void* bytes, size_t size) {
    Port* port = portFor(name);
    if (!port) return false;
    for (;;) {
        ssize_t sent = ::send(port->sendFD.load(), bytes, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        return sent == static_cast<ssize_t>(size);
    }
}

long receiveMessage(PortName name, void* buffer, size_t size) {
    Port* port = portFor(name);
    if (!port) {
        errno = EBADF;
        return -1;
    }
    pid_t expected = 0;
    port->owner.compare_exchange_strong(expected, currentThreadID());
    int fd = port->receiveFD.load();
    ssize_t length = ::recv(fd, buffer, size, MSG_PEEK | MSG_TRUNC);
    if (length < 0) return -1;
    if (static_cast<size_t>(length) > size) return -2;
    return ::recv(fd, buffer, size, 0);
}

PortName taskSelf() { return (static_cast<PortName>(getpid()) << 8) | 0x7; }

bool swapExceptionPorts(uint32_t mask, PortName port, int32_t behavior, int32_t flavor,
                        ExceptionPortEntry* previous, uint32_t capacity, uint32_t* count) {
    if (port != kPortNull && !portFor(port)) return false;
    uint32_t found = 0;
    uint64_t replacement = port == kPortNull ? 0 : packSlot(port, behavior, flavor);
    for (int type = 1; type < kExceptionTypeCount; ++type) {
        if (!(mask & exceptionMask(type))) continue;
        uint64_t old = gExceptionPorts[type].exchange(replacement);
        if (!previous || old == 0) continue;
        ExceptionPortEntry entry = unpackSlot(old, exceptionMask(type));
        bool merged = false;
        for (uint32_t i = 0; i < found; ++i) {
            if (previous[i].port == entry.port && previous[i].behavior == entry.behavior &&
                previous[i].flavor == entry.flavor) {
                previous[i].mask |= entry.mask;
                merged = true;
                break;
            }
        }
        if (!merged && found < capacity) previous[found++] = entry;
    }
    if (count) *count = found;
    return true;
}

bool setExceptionPorts(uint32_t mask, PortName port, int32_t behavior, int32_t flavor) {
    return swapExceptionPorts(mask, port, behavior, flavor, nullptr, 0, nullptr);
}

PortName exceptionPortFor(int type) {
    if (type <= 0 || type >= kExceptionTypeCount) return kPortNull;
    return static_cast<PortName>(gExceptionPorts[type].load() >> 48);
}

FaultException exceptionForFault(int signal, const siginfo_t* info, const ucontext_t* context) {
    FaultException exception;
    long trap = context ? static_cast<long>(context->uc_mcontext.gregs[REG_TRAPNO]) : -1;
    int code = info ? info->si_code : 0;
    auto address = info ? static_cast<int64_t>(reinterpret_cast<uintptr_t>(info->si_addr)) : 0;
    exception.codeCount = 2;
    switch (signal) {
    case SIGSEGV:
        exception.type = kExceptionBadAccess;
        exception.codes[0] = code == SEGV_ACCERR ? 2 : 1;  // protection failure : invalid address
        exception.codes[1] = address;
        break;
    case SIGBUS:
        exception.type = kExceptionBadAccess;
        exception.codes[0] = 10;  // memory error: the page has no backing
        exception.codes[1] = address;
        break;
    case SIGILL:
        exception.type = kExceptionBadInstruction;
        exception.codes[0] = 1;  // invalid opcode
        break;
    case SIGFPE:
        exception.type = kExceptionArithmetic;
        if (trap == 19) exception.codes[0] = 8;  // SIMD floating-point
        else if (code == FPE_INTDIV) exception.codes[0] = 1;
        else if (code == FPE_INTOVF) exception.codes[0] = 2;
        else exception.codes[0] = 5;  // x87
        break;
    case SIGTRAP:
        exception.type = kExceptionBreakpoint;
        exception.codes[0] = trap >= 0 ? trap : 3;  // 1 single step, 3 breakpoint
        break;
    default:
        exception.codeCount = 0;
        break;
    }
    return exception;
}

bool isFaultSignal(int signal) { return faultIndex(signal) >= 0; }

bool installFaultEntry() {
    if (gFaultEntryInstalled.exchange(true)) return true;
    bool installed = true;
    for (int i = 0; i < kFaultSignalCount; ++i) {
        struct sigaction entry;
        std::memset(&entry, 0, sizeof entry);
        entry.sa_sigaction = faultEntry;
        entry.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&entry.sa_mask);
        struct sigaction current;
        if (::sigaction(kFaultSignals[i], &entry, &current) != 0) {
            installed = false;
            continue;
        }
        gActions[i].copies[0] = current;
        gActions[i].current.store(0);
    }
    return installed;
}

int signalAction(int signal, const struct sigaction* action, struct sigaction* previous) {
    int index = faultIndex(signal);
    if (index < 0 || !gFaultEntryInstalled.load()) return ::sigaction(signal, action, previous);
    VirtualAction& slot = gActions[index];
    int current = slot.current.load();
    if (previous) *previous = slot.copies[current];
    if (action) {
        slot.copies[1 - current] = *action;
        slot.current.store(1 - current);
    }
    return 0;
}

bool faultEntryIsKernelAction(int signal) {
    KernelAction action{};
    if (syscall(SYS_rt_sigaction, signal, nullptr, &action, sizeof action.mask) != 0) return false;
    return action.handler == faultEntryAddress();
}

void* faultEntryAddress() { return reinterpret_cast<void*>(&faultEntry); }

const ucontext_t* waitingFaultContext(pid_t tid) {
    for (Waiting& slot : gWaiting)
        if (slot.tid.load() == tid) return slot.context.load();
    return nullptr;
}

sigjmp_buf* recoveryPoint() {
    return gRecoveryThread.load() == currentThreadID() ? gRecoveryPoint.load() : nullptr;
}

void setRecoveryPoint(sigjmp_buf* point) {
    if (point) {
        gRecoveryPoint.store(point);
        gRecoveryThread.store(currentThreadID());
    } else {
        gRecoveryThread.store(0);
        gRecoveryPoint.store(nullptr);
    }
}

}  // namespace crash
