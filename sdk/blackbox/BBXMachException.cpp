#include "sdk/blackbox/BBXMachException.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "platform/crash/Threads.h"
#include "sdk/blackbox/BBXFile.h"
#include "sdk/blackbox/BBXHandler.h"
#include "sdk/blackbox/BBXProcess.h"
#include "sdk/blackbox/BBXSDKLog.h"
#include "sdk/blackbox/BBXSignal.h"

namespace {

const char* const kArithmeticNames[] = {"EXC_I386_DIV",    "EXC_I386_INTO",  "EXC_I386_NOEXT", "EXC_I386_EXTOVR",
                                        "EXC_I386_EXTERR", "EXC_I386_EMERR", "EXC_I386_BOUND", "EXC_I386_SSEEXTERR"};

const char* trapName(int64_t code) {
    static const char* const kNames[] = {
        "EXC_I386_DIVERR",    "EXC_I386_SGLSTP",    "EXC_I386_NMIFLT",   "EXC_I386_BPTFLT",  "EXC_I386_INTOFLT",
        "EXC_I386_BOUNDFLT",  "EXC_I386_INVOPFLT",  "EXC_I386_NOEXTFLT", nullptr,            "EXC_I386_EXTOVRFLT",
        "EXC_I386_INVTSSFLT", "EXC_I386_SEGNPFLT",  "EXC_I386_STKFLT",   "EXC_I386_GPFLT",   "EXC_I386_PGFLT",
        nullptr,              "EXC_I386_EXTERRFLT", "EXC_I386_ALIGNFLT"};
    if (code >= 0 && code < static_cast<int64_t>(sizeof kNames / sizeof kNames[0])) return kNames[code];
    if (code == 32) return "EXC_I386_ENOEXTFLT";
    if (code == 33) return "EXC_I386_ENDPERR";
    return nullptr;
}

void writeSection(BBXFile* file, const crash::ExceptionRequest* request, uint32_t originalPorts) {
    uint32_t count = request->codeCount > 2 ? 2 : request->codeCount;
    const char* name = nullptr;
    const char* codeName = nullptr;
    BBXMachExceptionNames(request->exception, count ? request->codes[0] : 0, &name, &codeName);
    BBXFileOpenSection(file, "mach_exception");
    BBXFileBeginObject(file);
    BBXFileWriteUnsignedEntry(file, "exception", static_cast<uint32_t>(request->exception));
    BBXFileWriteKey(file, "codes");
    BBXFileBeginArray(file);
    for (uint32_t i = 0; i < count; ++i) BBXFileWriteUnsignedElement(file, static_cast<uint64_t>(request->codes[i]));
    BBXFileEndArray(file);
    BBXFileWriteStringEntry(file, "name", name);
    BBXFileWriteStringEntry(file, "code_name", codeName);
    BBXFileWriteUnsignedEntry(file, "original_ports", originalPorts);
    BBXHandlerWriteTimeEntry(file);
    BBXFileEndObject(file);
    BBXFileCloseSection(file);
}

bool record(const BBXMachExceptionStore* store, const crash::ExceptionRequest* request) {
    static const char* const kFunction = "BBXMachExceptionRecord";
    if (BBXContextMarkCrashRecorded()) {
        BBXSDKLog("%s: Error: aborting mach exception handler because crash has already occurred\n", kFunction);
        _exit(1);
    }
    BBXFile file;
    if (!BBXFileInitWithPathMode(&file, store->path, true, false)) {
        BBXSDKLog("%s: Unable to open mach exception file\n", kFunction);
        BBXSDKLog("%s: Failed to record mach exception\n", kFunction);
        return false;
    }
    writeSection(&file, request, store->previousCount);
    pid_t tid = static_cast<pid_t>(request->thread.name >> 8);
    // The faulting thread waits in the fault entry: its registers are the
    // fault's, not those of its wait.
    BBXHandler(&file, static_cast<BBXThread>(request->thread.name), crash::waitingFaultContext(tid));
    BBXFileClose(&file);
    BBXHandlerSettleRecordWrites(static_cast<BBXThread>(request->thread.name));
    return true;
}

void reply(const crash::ExceptionRequest* request, int32_t code, bool* failed) {
    crash::ExceptionReply answer{};
    answer.header.bits = request->header.bits & 0xff;
    answer.header.size = sizeof answer;
    answer.header.remotePort = request->header.localPort;
    answer.header.id = request->header.id + crash::kReplyIDOffset;
    answer.ndr = crash::kStandardNDR;
    answer.returnCode = code;
    BBXSDKLog("%s: Sending exception reply\n", "BBXMachExceptionReply");
    if (!crash::sendMessage(request->header.localPort, &answer, sizeof answer)) {
        BBXSDKLog("%s: mach_msg reply failed (%d)\n", "BBXMachExceptionReply", errno);
        *failed = true;
        return;
    }
    BBXSDKLog("%s: Exception reply delivered\n", "BBXMachExceptionReply");
}

int32_t dispatchMessage(const BBXMachExceptionStore* store, const crash::ExceptionRequest* request) {
    static const char* const kFunction = "BBXMachExceptionDispatchMessage";
    if (request->task.name != crash::taskSelf()) {
        BBXSDKLog("%s: Mach exception task mis-match, returning failure\n", kFunction);
        return crash::kReturnFailure;
    }
    BBXSDKLog("%s: Unregistering handler\n", kFunction);
    if (!BBXMachExceptionUnregister(store, store->mask)) {
        BBXSDKLog("%s: Failed to unregister\n", kFunction);
        return crash::kReturnFailure;
    }
    BBXSDKLog("%s: Restoring original signal handlers\n", kFunction);
    if (!BBXSignalSafeInstallPreexistingHandlers(&BBXContextGetReadOnly()->signalStore)) {
        BBXSDKLog("%s: Failed to restore signal handlers\n", kFunction);
        return crash::kReturnFailure;
    }
    record(store, request);
    return crash::kReturnSuccess;
}

}  // namespace

uint32_t BBXSignalMachExceptionMask(int signal) {
    switch (signal) {
    case SIGILL: return crash::exceptionMask(crash::kExceptionBadInstruction);
    case SIGTRAP: return crash::exceptionMask(crash::kExceptionBreakpoint);
    case SIGABRT:
    case SIGSYS: return crash::exceptionMask(crash::kExceptionCrash);
    case SIGFPE: return crash::exceptionMask(crash::kExceptionArithmetic);
    case SIGBUS:
    case SIGSEGV: return crash::exceptionMask(crash::kExceptionBadAccess);
    default: return 0;
    }
}

uint32_t BBXMachExceptionMaskFor(uint32_t osVersion, uint32_t callerMask) {
    uint32_t mask = kBBXMachExceptionBaseMask;
    if (osVersion > 1069) mask |= kBBXMachExceptionGuardMask;
    return mask & ~callerMask;
}

void BBXMachExceptionNames(int32_t exception, int64_t firstCode, const char** name, const char** codeName) {
    *name = nullptr;
    *codeName = nullptr;
    switch (exception) {
    case crash::kExceptionBadAccess:
        *name = "EXC_BAD_ACCESS";
        if (firstCode == 1) *codeName = "KERN_INVALID_ADDRESS";
        else if (firstCode == 2) *codeName = "KERN_PROTECTION_FAILURE";
        break;
    case crash::kExceptionBadInstruction:
        *name = "EXC_BAD_INSTRUCTION";
        *codeName = "EXC_I386_INVOP";
        break;
    case crash::kExceptionArithmetic:
        *name = "EXC_ARITHMETIC";
        if (firstCode >= 1 && firstCode <= 8) *codeName = kArithmeticNames[firstCode - 1];
        break;
    case crash::kExceptionBreakpoint:
        *name = "EXC_BREAKPOINT";
        *codeName = trapName(firstCode);
        break;
    case crash::kExceptionGuard: *name = "EXC_GUARD"; break;
    default: break;
    }
}

bool BBXMachExceptionUnregister(const BBXMachExceptionStore* store, uint32_t mask) {
    uint32_t remaining = mask;
    for (uint32_t i = 0; i < store->previousCount && i < kBBXMachPreviousPortCount; ++i) {
        const BBXMachPreviousPort& previous = store->previous[i];
        if (!crash::setExceptionPorts(previous.mask, previous.port, previous.behavior, previous.flavor))
            BBXSDKLog("%s: unable to restore original port: %d", __func__, static_cast<int>(previous.port));
        remaining &= ~previous.mask;
    }
    if (!crash::setExceptionPorts(remaining, crash::kPortNull, crash::kBehaviorDefault | crash::kBehaviorCodes64,
                                  crash::kThreadStateNone)) {
        BBXSDKLog("%s: unable to unset unregistered mask: 0x%x", __func__, remaining);
        return false;
    }
    return true;
}

int32_t BBXMachExceptionHandleRequest(const BBXMachExceptionStore* store, const crash::ExceptionRequest* request) {
    static const char* const kFunction = "BBXMachExceptionServer";
    BBXSDKLog("%s: Accepted mach exception message\n", kFunction);
    int64_t none = -1;
    BBXSDKLog("%s: Mach exception: 0x%x, count: %d, code: 0x%llx 0x%llx\n", kFunction,
              static_cast<uint32_t>(request->exception), static_cast<int>(request->codeCount),
              request->codeCount > 0 ? request->codes[0] : none, request->codeCount > 1 ? request->codes[1] : none);
    int32_t code = dispatchMessage(store, request);
    bool failed = false;
    reply(request, code, &failed);
    return failed ? -1 : code;
}

void* BBXMachExceptionServer(void* argument) {
    static const char* const kFunction = "BBXMachExceptionServer";
    const auto* store = static_cast<const BBXMachExceptionStore*>(argument);
    for (;;) {
        crash::ExceptionRequest request;
        // A short message leaves the rest zero: no codes.
        __builtin_memset(&request, 0, sizeof request);
        long got = crash::receiveMessage(store->port, &request, sizeof request);
        // The server is interrupted whenever a recording suspends the threads.
        if (got == -1 && errno == EINTR) continue;
        if (got < static_cast<long>(sizeof(crash::MessageHeader))) {
            BBXSDKLog("%s: Error receving mach_msg (%d)\n", kFunction, got == -2 ? -2 : errno);
            BBXSDKLog("%s: Mach exception server thread exiting\n", kFunction);
            return nullptr;
        }
        if (BBXMachExceptionHandleRequest(store, &request) < 0) return nullptr;
    }
}
