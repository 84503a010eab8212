#pragma once
// Exception ports on Linux: the process's hardware faults reach a port before
// they become signals, so a server thread can record a crash from outside the
// faulting thread and then let the fault go on to the signal handlers.
//
// - A port is a connected AF_UNIX/SOCK_SEQPACKET pair in a fixed table, named
//   by a small number (0 is no port). Messages keep their boundaries.
// - The process's exception ports: one slot per exception type (14), each a
//   port with a behaviour and a thread-state flavour, changed by atomics only.
// - The fault entry is the kernel's action for SIGSEGV, SIGBUS, SIGILL, SIGFPE
//   and SIGTRAP. It turns the fault into an exception (type and codes), and
//   when a port holds that type it sends the 92-byte request and waits for
//   the reply: 0 returns, so the faulting instruction runs again; 5 or no
//   port goes on to the action set through signalAction() for the signal.
//   Signals sent by kill, tgkill or sigqueue are never exceptions. One fault
//   is handled at a time: a second thread's fault waits for the first.
// - signalAction() is the sigaction of the layer: for the five fault signals
//   it reads and writes the table the fault entry delivers from, for any
//   other signal it is the kernel's.
//
// Everything but installFaultEntry() is async-signal-safe.

#include <setjmp.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/ucontext.h>

#include <cstddef>
#include <cstdint>

namespace crash {

using PortName = uint32_t;
inline constexpr PortName kPortNull = 0;

// Exception types and their mask bits.
inline constexpr int kExceptionBadAccess = 1;
inline constexpr int kExceptionBadInstruction = 2;
inline constexpr int kExceptionArithmetic = 3;
inline constexpr int kExceptionBreakpoint = 6;
inline constexpr int kExceptionCrash = 10;
inline constexpr int kExceptionGuard = 12;
inline constexpr int kExceptionTypeCount = 14;
inline constexpr uint32_t exceptionMask(int type) { return 1u << type; }

// Behaviour: the default one, with 64-bit codes; no thread state.
inline constexpr int32_t kBehaviorDefault = 1;
inline constexpr int32_t kBehaviorCodes64 = static_cast<int32_t>(0x80000000u);
inline constexpr int32_t kThreadStateNone = 13;

// Reply codes.
inline constexpr int32_t kReturnSuccess = 0;
inline constexpr int32_t kReturnFailure = 5;

inline constexpr int32_t kExceptionRaiseID = 2405;
inline constexpr int32_t kReplyIDOffset = 100;

struct __attribute__((packed)) MessageHeader {
    uint32_t bits;
    uint32_t size;
    PortName remotePort;  // where the message goes
    PortName localPort;   // where the answer goes
    uint32_t voucher;
    int32_t id;
};

struct __attribute__((packed)) PortDescriptor {
    PortName name;
    uint32_t pad1;
    uint16_t pad2;
    uint8_t disposition;
    uint8_t type;
};

// The request, with its trailer: 92 bytes.
struct __attribute__((packed)) ExceptionRequest {
    MessageHeader header;
    uint32_t descriptorCount;
    PortDescriptor thread;  // the faulting thread: its kernel id shifted left by 8
    PortDescriptor task;    // taskSelf()
    uint64_t ndr;
    int32_t exception;
    uint32_t codeCount;
    int64_t codes[2];
    uint32_t trailerType;
    uint32_t trailerSize;
};
static_assert(sizeof(ExceptionRequest) == 92);

struct __attribute__((packed)) ExceptionReply {
    MessageHeader header;
    uint64_t ndr;
    int32_t returnCode;
};
static_assert(sizeof(ExceptionReply) == 36);

// The standard data representation word of both messages.
inline constexpr uint64_t kStandardNDR = 0x0000000001000000ull;

// Ports. allocatePort answers kPortNull when the table is full or the pair
// cannot be made.
inline constexpr int kMaxPorts = 64;
PortName allocatePort();
void deallocatePort(PortName port);
bool portIsValid(PortName port);
// Sends one message; false when the port is gone or the send fails.
bool sendMessage(PortName port, const void* bytes, size_t size);
// Receives one message into buffer: its size; -1 on an error (errno set,
// EINTR included); -2 when the next message is larger than size, which is
// left in the port. The first receiver of a port is its owner: faults on the
// owner's thread never wait on that port.
long receiveMessage(PortName port, void* buffer, size_t size);
// This process's task name.
PortName taskSelf();

// The exception-port slots.
struct ExceptionPortEntry {
    uint32_t mask = 0;
    PortName port = kPortNull;
    int32_t behavior = 0;
    int32_t flavor = 0;
};
// Sets every type in mask to port; the slots it replaced, grouped by equal
// port, behaviour and flavour, go to previous (at most capacity entries,
// their count in count).
bool swapExceptionPorts(uint32_t mask, PortName port, int32_t behavior, int32_t flavor,
                        ExceptionPortEntry* previous, uint32_t capacity, uint32_t* count);
bool setExceptionPorts(uint32_t mask, PortName port, int32_t behavior, int32_t flavor);
// The port of one exception type (kPortNull for none).
PortName exceptionPortFor(int type);

// The exception a fault is: a signal's information and the interrupted
// registers (REG_TRAPNO). Type 0 when the signal is not one.
struct FaultException {
    int type = 0;
    uint32_t codeCount = 0;
    int64_t codes[2] = {0, 0};
};
FaultException exceptionForFault(int signal, const siginfo_t* info, const ucontext_t* context);

// Makes the fault entry the kernel's action for the five fault signals; the
// actions in place become what it delivers to. Idempotent; set-up only.
bool installFaultEntry();
bool isFaultSignal(int signal);
// The layer's sigaction (see above); 0 or -1 with errno.
int signalAction(int signal, const struct sigaction* action, struct sigaction* previous);
// The kernel's action of signal is the fault entry.
bool faultEntryIsKernelAction(int signal);
// The fault entry's address, for the tests and the foreign-handler check.
void* faultEntryAddress();

// The interrupted registers of a thread that waits in the fault entry for an
// answer, null when it does not.
const ucontext_t* waitingFaultContext(pid_t tid);

// A fault on the calling thread while a recovery point is set returns to it
// (siglongjmp with 1) instead of going anywhere else. One thread at a time:
// the recording thread. Null clears it.
void setRecoveryPoint(sigjmp_buf* point);
// The calling thread's recovery point; null when none is set for it.
sigjmp_buf* recoveryPoint();

}  // namespace crash
