// Set-up and diagnosis of the signal handlers: outside any crash.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/crash/ExceptionPorts.h"
#include "platform/crash/Threads.h"
#include "sdk/blackbox/BBXSDKLog.h"
#include "sdk/blackbox/BBXSignal.h"
#include "sdk/blackbox/BBXUtilities.h"

bool BBXSignalInstallAltStack(BBXSignalStore* store, void* stack) {
    stack_t ours{};
    ours.ss_sp = stack;
    ours.ss_size = kBBXHandlerStackSize;
    ours.ss_flags = 0;
    stack_t previous{};
    if (!stack || sigaltstack(&ours, &previous) != 0) {
        BBXSDKLog("%s: Unable to setup stack %s\n", "BBXSignalInstallAltStack", std::strerror(stack ? errno : EINVAL));
        return false;
    }
    if (!(previous.ss_flags & SS_DISABLE)) store->previousStack = previous;
    store->stackThread = crash::currentThreadID();
    return true;
}

void BBXSignalInitialize(BBXSignalStore* store) {
    static const char* const kFunction = "BBXSignalInitialize";
    if (!BBXUnlinkIfExists(store->path)) BBXSDKLog("%s: Unable to reset the signal log file %s\n", kFunction, store->path);
    crash::installFaultEntry();
    for (int i = 0; i < kBBXHandledSignalCount; ++i) {
        int signal = kBBXHandledSignals[i];
        struct sigaction action {};
        action.sa_sigaction = BBXSignalHandler;
        action.sa_flags = SA_ONSTACK | SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        struct sigaction previous {};
        std::memset(&store->previous[i], 0, sizeof store->previous[i]);
        if (crash::signalAction(signal, &action, &previous) != 0) {
            BBXSDKLog("%s: Unable to install handler for %d (%s)\n", kFunction, signal, std::strerror(errno));
            continue;
        }
        bool standard = !(previous.sa_flags & SA_SIGINFO) && previous.sa_handler == SIG_DFL;
        if (!standard) store->previous[i] = previous;
    }
}

namespace {

void warnForeign(int signal, void* handler) {
    const char* name = nullptr;
    BBXSignalNames(signal, &name, nullptr);
    std::string symbol;
    bool known = false;
    BBXLookupSymbol(handler, [&](const char* found, const char*) {
        if (found) {
            symbol = found;
            known = true;
        }
    });
    std::fprintf(stderr, "[Blackbox] The signal %s has a non-Blackbox handler (%s).  This will interfer with reporting.\n",
                 name, known ? symbol.c_str() : "(null)");
}

}  // namespace

void BBXSignalWarnAboutForeignHandlers() {
    for (int signal : kBBXHandledSignals) {
        struct sigaction current {};
        if (crash::signalAction(signal, nullptr, &current) != 0) {
            std::fprintf(stderr, "Unable to read signal handler\n");
            continue;
        }
        void* handler = (current.sa_flags & SA_SIGINFO) ? reinterpret_cast<void*>(current.sa_sigaction)
                                                        : reinterpret_cast<void*>(current.sa_handler);
        if (handler != reinterpret_cast<void*>(&BBXSignalHandler)) {
            warnForeign(signal, handler);
            continue;
        }
        // A library that called sigaction itself for a fault signal gets the
        // faults before the exception ports and the handler here.
        if (crash::isFaultSignal(signal) && !crash::faultEntryIsKernelAction(signal)) {
            struct sigaction kernel {};
            ::sigaction(signal, nullptr, &kernel);
            warnForeign(signal, (kernel.sa_flags & SA_SIGINFO) ? reinterpret_cast<void*>(kernel.sa_sigaction)
                                                                 : reinterpret_cast<void*>(kernel.sa_handler));
        }
    }
}
