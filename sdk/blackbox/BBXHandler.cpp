#include "sdk/blackbox/BBXHandler.h"

#include <setjmp.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <ctime>

#include <atomic>

#include "platform/crash/ExceptionPorts.h"
#include "sdk/blackbox/BBXContext.h"
#include "sdk/blackbox/BBXFile.h"
#include "sdk/blackbox/BBXSDKLog.h"

namespace {

std::atomic<BBXHandlerCrashCallback> gCrashCallback{nullptr};
std::atomic<BBXHandlerObserverCallback> gObserverCallback{nullptr};
std::atomic<BBXHandlerTestHook> gTestHook{nullptr};

// Large: kept out of the handler's stack. One crash is recorded per process.
BBXProcess gProcess;
sigjmp_buf gRecoveryPoint;


const char* const kSectionNames[] = {"", "threads", "runtime", "dispatch_queue_names", "thread_names",
                                     "process_stats", "storage"};

void recordSection(int section, BBXFile* file) {
    BBXHandlerRunTestHook(BBXHandlerPhaseSection, section);
    switch (section) {
    case 1: BBXProcessRecordAllThreads(&gProcess, file); break;
    case 2: BBXProcessRecordRuntimeInfo(&gProcess, file); break;
    case 3: BBXProcessRecordDispatchQueueNames(&gProcess, file); break;
    case 4: BBXProcessRecordThreadNames(&gProcess, file); break;
    case 5: BBXProcessRecordStats(&gProcess, file); break;
    case 6: {
        const BBXReadOnlyContext* readOnly = BBXContextGetReadOnly();
        BBXProcessRecordStorage(readOnly ? readOnly->cachesPath : nullptr, file);
        break;
    }
    default: break;
    }
}

}  // namespace

void BBXHandler(BBXFile* file, BBXThread crashedThread, const ucontext_t* machineContext) {
    static const char* const kFunction = "BBXHandler";
    // The diagnostic lines of the recording go out in batches (BBXSDKLog.h),
    // flushed after each section, so a recording cut short keeps most of them.
    BBXSDKLogBeginBatch();
    BBXProcessInit(&gProcess, crashedThread, machineContext);
    BBXProcessSuspendAllOtherThreads(&gProcess);
    BBXHandlerRunTestHook(BBXHandlerPhaseSuspended, 0);
    for (int section = 1; section <= 6; ++section) {
        // volatile: read again after a return to the recovery point.
        volatile int current = section;
        if (sigsetjmp(gRecoveryPoint, 1) == 0) {
            crash::setRecoveryPoint(&gRecoveryPoint);
            recordSection(current, file);
        } else {
            BBXSDKLog("%s: fault while recording section %s, going on with the next\n", kFunction,
                      kSectionNames[current]);
        }
        crash::setRecoveryPoint(nullptr);
        BBXSDKLogFlushBatch();
    }
    BBXProcessResumeAllOtherThreads(&gProcess);
    BBXSDKLogEndBatch();
    BBXHandlerRunTestHook(BBXHandlerPhaseResumed, 0);
    const BBXReadOnlyContext* readOnly = BBXContextGetReadOnly();
    if (readOnly && readOnly->delegate) {
        BBXSDKLog("%s: Performing syncrhonous crash callback - hold onto your butts\n", kFunction);
        if (BBXHandlerCrashCallback callback = gCrashCallback.load()) callback(readOnly->delegate);
    }
}

void BBXHandlerSettleRecordWrites(BBXThread crashedThread) {
    // Ample for a writer the recording held up to finish: once its thread
    // runs again a write of a few lines takes microseconds.
    constexpr uint64_t kTimeout = 500ULL * 1000 * 1000;
    if (!BBXFileSettleWholeWrites(BBXThreadTID(crashedThread), kTimeout))
        BBXSDKLog("%s: Error: a record write is still under way as the process ends\n", "BBXHandler");
}

void BBXHandlerWriteTimeEntry(BBXFile* file) {
    timespec now{};
    syscall(SYS_clock_gettime, CLOCK_REALTIME, &now);
    BBXFileWriteUnsignedEntry(file, "time", static_cast<uint64_t>(now.tv_sec));
}

void BBXHandlerNotifyObserver() {
    const BBXReadOnlyContext* readOnly = BBXContextGetReadOnly();
    if (!readOnly || !readOnly->crashObserver) return;
    if (BBXHandlerObserverCallback callback = gObserverCallback.load()) callback(readOnly->crashObserver);
}

void BBXHandlerSetCrashCallback(BBXHandlerCrashCallback callback) { gCrashCallback.store(callback); }
void BBXHandlerSetObserverCallback(BBXHandlerObserverCallback callback) { gObserverCallback.store(callback); }
void BBXHandlerSetTestHook(BBXHandlerTestHook hook) { gTestHook.store(hook); }

void BBXHandlerRunTestHook(int phase, int section) {
    if (BBXHandlerTestHook hook = gTestHook.load()) hook(phase, section);
}
