#include "sdk/blackbox/BBXProcess.h"

#include "platform/crash/Debugger.h"
#include "sdk/blackbox/BBXSDKLog.h"

bool BBXProcessDebuggerAttached() {
    std::optional<bool> traced = crash::tracerAttached();
    if (!traced) {
        BBXSDKLog("%s: sysctl failed while trying to get kinfo_proc\n", __func__);
        return false;
    }
    return *traced;
}
