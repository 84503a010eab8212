#include "sdk/blackbox/BBXSignal.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/crash/ExceptionPorts.h"
#include "platform/crash/Threads.h"
#include "sdk/blackbox/BBXFile.h"
#include "sdk/blackbox/BBXHandler.h"
#include "sdk/blackbox/BBXProcess.h"
#include "sdk/blackbox/BBXSDKLog.h"

const int kBBXHandledSignals[kBBXHandledSignalCount] = {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGSYS, SIGTRAP};

namespace {

const char* errorText(int error) {
    // strerror may format into a shared buffer; the few the calls here give.
    switch (error) {
    case EINVAL: return "Invalid argument";
    case EPERM: return "Operation not permitted";
    case ENOMEM: return "Cannot allocate memory";
    case EFAULT: return "Bad address";
    default: return "Unknown error";
    }
}

struct sigaction defaultAction() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    return action;
}

// A sent signal (kill, tgkill, sigqueue), a breakpoint or a refused system
// call does not come back by itself once its handler returns.
bool comesBack(int signal, const siginfo_t* information) {
    if (!information || information->si_code <= 0) return false;
    return signal != SIGTRAP && signal != SIGSYS;
}

void writeSignalSection(BBXFile* file, int signal, const siginfo_t* information, int savedErrno) {
    BBXFileOpenSection(file, "signal");
    BBXFileBeginObject(file);
    if (information) {
        const char* name = nullptr;
        const char* codeName = nullptr;
        BBXSignalNames(signal, &name, &codeName);
        BBXFileWriteUnsignedEntry(file, "number", static_cast<uint64_t>(information->si_signo));
        BBXFileWriteUnsignedEntry(file, "code", static_cast<uint64_t>(static_cast<uint32_t>(information->si_code)));
        BBXFileWriteUnsignedEntry(file, "address", reinterpret_cast<uintptr_t>(information->si_addr));
        BBXFileWriteStringEntry(file, "name", name);
        BBXFileWriteStringEntry(file, "code_name", codeName);
    }
    BBXFileWriteSignedEntry(file, "errno", savedErrno);
    BBXHandlerWriteTimeEntry(file);
    BBXFileEndObject(file);
    BBXFileCloseSection(file);
}

}  // namespace

void BBXSignalEnumerate(void (*block)(int index, int signal, void* data), void* data) {
    for (int i = 0; i < kBBXHandledSignalCount; ++i) block(i, kBBXHandledSignals[i], data);
}

void BBXSignalNames(int signal, const char** name, const char** codeName) {
    const char* text = "UNKNOWN";
    switch (signal) {
    case SIGILL: text = "SIGILL"; break;
    case SIGTRAP: text = "SIGTRAP"; break;
    case SIGABRT: text = "SIGABRT"; break;
    case SIGFPE: text = "SIGFPE"; break;
    case SIGBUS: text = "SIGBUS"; break;
    case SIGSEGV: text = "SIGSEGV"; break;
    case SIGSYS: text = "SIGSYS"; break;
    default: break;
    }
    if (name) *name = text;
    if (codeName) *codeName = signal == SIGABRT ? "ABORT" : nullptr;
}

void BBXSignalHandler(int signal, siginfo_t* information, void* machineContext) {
    static const char* const kFunction = "BBXSignalHandler";
    int savedErrno = errno;
    errno = 0;
    BBXSDKLog("%s: Signal: %d\n", kFunction, signal);
    BBXSignalSafeRemoveHandlers(true);
    sigset_t all;
    sigfillset(&all);
    if (pthread_sigmask(SIG_UNBLOCK, &all, nullptr) != 0)
        BBXSDKLog("%s: Unable to unmask signals - we risk infinite recursion here\n", kFunction);

    if (reinterpret_cast<uintptr_t>(information) < 4096) information = nullptr;
    const BBXReadOnlyContext* readOnly = BBXContextGetReadOnly();
    if (BBXContextIsInitialized()) {
        if (BBXContextMarkCrashRecorded()) {
            BBXSDKLog("%s: Error: aborting signal handler because crash has already occurred\n", kFunction);
            _exit(1);
        }
        BBXFile file;
        if (BBXFileInitWithPathMode(&file, readOnly->signalStore.path, true, false)) {
            writeSignalSection(&file, signal, information, savedErrno);
            auto* context = reinterpret_cast<uintptr_t>(machineContext) < 4096
                                ? nullptr
                                : static_cast<const ucontext_t*>(machineContext);
            BBXHandler(&file, BBXThreadSelf(), context);
            BBXFileClose(&file);
        } else {
            BBXSDKLog("%s: Unable to open signal file\n", kFunction);
        }
        BBXHandlerSettleRecordWrites(BBXThreadSelf());
    }
    if (readOnly) BBXSignalSafeInstallPreexistingHandlers(&readOnly->signalStore);
    // Faults come back under the restored actions; the rest must be sent
    // again, or the process would run on with no handlers at all.
    if (!comesBack(signal, information))
        syscall(SYS_tgkill, getpid(), crash::currentThreadID(), signal);
    errno = savedErrno;
}

bool BBXSignalSafeRemoveHandlers(bool includingAbort) {
    bool removed = true;
    struct sigaction standard = defaultAction();
    for (int signal : kBBXHandledSignals) {
        if (signal == SIGABRT && !includingAbort) continue;
        if (crash::signalAction(signal, &standard, nullptr) != 0) {
            BBXSDKLog("%s: Unable to set default handler for %d (%s)\n", __func__, signal, errorText(errno));
            removed = false;
        }
    }
    return removed;
}

bool BBXSignalSafeInstallPreexistingHandlers(const BBXSignalStore* store) {
    if (!BBXSignalSafeRemoveHandlers(true)) return false;
    bool restored = true;
    // A thread cannot change its alternate stack while it runs on it, and
    // only the thread it was installed on had the previous one.
    stack_t current{};
    if (store->previousStack.ss_sp && store->stackThread == crash::currentThreadID() &&
        sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_ONSTACK)) {
        if (sigaltstack(&store->previousStack, nullptr) != 0) {
            BBXSDKLog("%s: Unable to setup stack %s\n", __func__, errorText(errno));
            return false;
        }
    }
    for (int i = 0; i < kBBXHandledSignalCount; ++i) {
        const struct sigaction& previous = store->previous[i];
        if (!(previous.sa_flags & SA_SIGINFO) && previous.sa_handler == SIG_DFL) continue;
        if (crash::signalAction(kBBXHandledSignals[i], &previous, nullptr) != 0) {
            BBXSDKLog("%s: Unable to install handler for %d (%s)\n", __func__, kBBXHandledSignals[i], errorText(errno));
            restored = false;
        }
    }
    return restored;
}
