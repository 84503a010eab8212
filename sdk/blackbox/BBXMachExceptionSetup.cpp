// Registration of the exception port and start of its server: outside any crash.
#include <pthread.h>

#include <cstring>

#include "platform/dispatch/ThreadSignalStack.h"
#include "platform/foundation/ThreadIdentity.h"
#include "sdk/beacon/BCNHost.h"
#include "sdk/blackbox/BBXMachException.h"
#include "sdk/blackbox/BBXSDKLog.h"
#include "sdk/blackbox/BBXUtilities.h"

namespace {

bool registerPort(BBXMachExceptionStore* store, uint32_t callerMask) {
    static const char* const kFunction = "BBXMachExceptionRegister";
    crash::PortName port = crash::allocatePort();
    if (port == crash::kPortNull) {
        BBXSDKLog("%s: Error: mach_port_allocate failed %d\n", kFunction, errno);
        return false;
    }
    store->port = port;
    store->mask = BBXMachExceptionMaskFor(BCNHostGetOSVersionNumber(), callerMask);
    crash::ExceptionPortEntry previous[kBBXMachPreviousPortCount];
    uint32_t count = 0;
    if (!crash::swapExceptionPorts(store->mask, port, crash::kBehaviorDefault | crash::kBehaviorCodes64,
                                   crash::kThreadStateNone, previous, kBBXMachPreviousPortCount, &count)) {
        BBXSDKLog("%s: Error: task_swap_exception_ports %d\n", kFunction, errno);
        crash::deallocatePort(port);
        store->port = crash::kPortNull;
        return false;
    }
    store->previousCount = count;
    for (uint32_t i = 0; i < count; ++i) {
        store->previous[i] = BBXMachPreviousPort{previous[i].mask, previous[i].port, previous[i].behavior,
                                                 previous[i].flavor};
        BBXSDKLog("%s: original 0x%x 0x%x 0x%x 0x%x\n", kFunction, previous[i].mask, previous[i].port,
                  static_cast<uint32_t>(previous[i].behavior), static_cast<uint32_t>(previous[i].flavor));
    }
    return true;
}

void* serverMain(void* store) {
    foundation::setCurrentThreadName("org.blackbox.mac.MachExceptionServer");
    // Its own faults go straight to the signal handlers, which need room.
    dispatch::installThreadSignalStack();
    return BBXMachExceptionServer(store);
}

bool startThread(BBXMachExceptionStore* store, void* stack) {
    static const char* const kFunction = "BBXMachExceptionThreadStart";
    pthread_attr_t attributes;
    int error = pthread_attr_init(&attributes);
    if (error) {
        BBXSDKLog("%s: pthread_attr_init %s\n", kFunction, std::strerror(error));
        return false;
    }
    bool started = false;
    if ((error = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED)))
        BBXSDKLog("%s: pthread_attr_setdetachstate %s\n", kFunction, std::strerror(error));
    else if ((error = pthread_attr_setstack(&attributes, stack, kBBXHandlerStackSize)))
        BBXSDKLog("%s: pthread_attr_setstack %s\n", kFunction, std::strerror(error));
    else if ((error = pthread_create(&store->serverThread, &attributes, serverMain, store)))
        BBXSDKLog("%s: pthread_create %s\n", kFunction, std::strerror(error));
    else started = true;
    pthread_attr_destroy(&attributes);
    return started;
}

}  // namespace

void BBXMachExceptionInit(BBXMachExceptionStore* store, uint32_t callerMask) {
    static const char* const kFunction = "BBXMachExceptionInit";
    if (!BBXUnlinkIfExists(store->path))
        BBXSDKLog("%s: Unable to reset the mach exception file %s\n", kFunction, store->path);
    crash::installFaultEntry();
    if (!registerPort(store, callerMask)) {
        BBXSDKLog("%s: Unable to register mach exception handler\n", kFunction);
        return;
    }
    if (!startThread(store, BBXContextGetReadOnly()->machServerStack)) {
        BBXSDKLog("%s: Unable to start thread\n", kFunction);
        BBXMachExceptionUnregister(store, store->mask);
    }
}
