#include "sdk/blackbox/BBXProcess.h"

#include <dlfcn.h>
#include <setjmp.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "platform/crash/Debugger.h"
#include "platform/crash/ExceptionPorts.h"
#include "platform/crash/ProcessFacts.h"
#include "platform/foundation/ThreadRegistry.h"
#include "sdk/blackbox/BBXContext.h"
#include "sdk/blackbox/BBXFile.h"
#include "sdk/blackbox/BBXHandler.h"
#include "sdk/blackbox/BBXSDKLog.h"
#include "sdk/blackbox/BBXUnwind.h"
#include "sdk/blackbox/BBXUtilities.h"

namespace {

// glibc's record of the message abort() is about to report (a failed
// assertion's text): a size, then the text.
struct AbortMessage {
    unsigned int size;
    char message[1];
};
std::atomic<AbortMessage**> gAbortMessage{nullptr};

constexpr size_t kNameLimit = 64;  // 63 characters and the NUL

BBXThreadState stateFromGregs(const greg_t* gregs) {
    auto r = [gregs](int index) { return static_cast<uint64_t>(gregs[index]); };
    uint64_t segments = r(REG_CSGSFS);
    return BBXThreadState{r(REG_RAX), r(REG_RBX), r(REG_RCX), r(REG_RDX), r(REG_RDI), r(REG_RSI), r(REG_RBP),
                          r(REG_RSP), r(REG_R8),  r(REG_R9),  r(REG_R10), r(REG_R11), r(REG_R12), r(REG_R13),
                          r(REG_R14), r(REG_R15), r(REG_RIP), r(REG_EFL), segments & 0xffff,
                          (segments >> 32) & 0xffff, (segments >> 16) & 0xffff};
}

void writeRegisters(BBXFile* file, const BBXThreadState* state) {
    BBXFileWriteKey(file, "registers");
    BBXFileBeginObject(file);
    if (state) {
        const struct {
            const char* name;
            uint64_t value;
        } registers[] = {{"rax", state->rax}, {"rbx", state->rbx}, {"rcx", state->rcx}, {"rdx", state->rdx},
                         {"rdi", state->rdi}, {"rsi", state->rsi}, {"rbp", state->rbp}, {"rsp", state->rsp},
                         {"r8", state->r8},   {"r9", state->r9},   {"r10", state->r10}, {"r11", state->r11},
                         {"r12", state->r12}, {"r13", state->r13}, {"r14", state->r14}, {"r15", state->r15},
                         {"rip", state->rip}, {"rflags", state->rflags}, {"cs", state->cs}, {"fs", state->fs},
                         {"gs", state->gs}};
        for (const auto& r : registers) BBXFileWriteUnsignedEntry(file, r.name, r.value);
    }
    BBXFileEndObject(file);
}

// The recording thread's own state: every register 0 but the instruction
// pointer (this function's return address), the frame pointer and the stack
// pointer the caller has once the call returns (the caller's frame, saved in
// this function's, and the word above the return address), so a walk starts
// in the caller with registers that agree with its PC. Never inlined, and
// built with frame pointers (see CMakeLists).
__attribute__((noinline)) void fakeCurrentThreadState(BBXThreadState* state) {
    *state = BBXThreadState{};
    auto* frame = static_cast<uint64_t*>(__builtin_frame_address(0));
    state->rip = reinterpret_cast<uint64_t>(__builtin_return_address(0));
    state->rbp = frame[0];
    state->rsp = reinterpret_cast<uint64_t>(frame) + 16;
    asm volatile("" ::: "memory");  // keeps the call a call, not a jump
}

bool isProcess(const BBXProcess* process, const char* function) {
    if (reinterpret_cast<uintptr_t>(process) < 4096) {
        BBXSDKLog("%s: Invalid pointers\n", function);
        return false;
    }
    return true;
}

}  // namespace

BBXThreadState BBXThreadStateFromMachineContext(const ucontext_t* context) {
    return stateFromGregs(context->uc_mcontext.gregs);
}

BBXThread BBXThreadSelf() { return BBXThreadForTID(crash::currentThreadID()); }

void BBXProcessInitializeRuntime() {
    crash::installThreadSuspension();
    gAbortMessage.store(static_cast<AbortMessage**>(dlsym(RTLD_DEFAULT, "__abort_msg")));
}

bool BBXProcessInit(BBXProcess* process, BBXThread crashedThread, const ucontext_t* machineContext) {
    if (!process) return false;
    process->task = getpid();
    process->recordingThread = BBXThreadSelf();
    process->crashedThread = crashedThread;
    process->machineContext = machineContext;
    pid_t tids[crash::kMaxThreads];
    int count = crash::listThreads(tids, crash::kMaxThreads);
    if (count < 0) {
        BBXSDKLog("%s: Error: unable to get task threads\n", __func__);
        process->threadCount = 0;
        return false;
    }
    for (int i = 0; i < count; ++i) process->threads[i] = BBXThreadForTID(tids[i]);
    process->threadCount = count;
    return true;
}

bool BBXProcessSuspendAllOtherThreads(BBXProcess* process) {
    if (!process) return false;
    // All at once: every thread is asked before any is awaited.
    pid_t others[crash::kMaxThreads];
    bool suspended[crash::kMaxThreads];
    int count = 0;
    for (int i = 0; i < process->threadCount; ++i)
        if (!BBXThreadsMatch(process->threads[i], process->recordingThread))
            others[count++] = BBXThreadTID(process->threads[i]);
    return crash::suspendThreads(others, count, suspended);
}

bool BBXProcessResumeAllOtherThreads(BBXProcess* process) {
    if (!process) return false;
    bool all = true;
    for (int i = 0; i < process->threadCount; ++i) {
        if (BBXThreadsMatch(process->threads[i], process->recordingThread)) continue;
        if (!crash::resumeThread(BBXThreadTID(process->threads[i]))) all = false;
    }
    return all;
}

bool BBXProcessGetThreadState(const BBXProcess* process, BBXThread thread, BBXThreadState* state) {
    if (reinterpret_cast<uintptr_t>(state) < 4096 || !process) {
        BBXSDKLog("%s: invalid context supplied\n", __func__);
        return false;
    }
    if (BBXThreadsMatch(thread, process->crashedThread) && process->machineContext) {
        *state = stateFromGregs(process->machineContext->uc_mcontext.gregs);
        return true;
    }
    if (BBXThreadsMatch(thread, process->recordingThread)) {
        BBXSDKLog("%s: Faking current thread\n", __func__);
        fakeCurrentThreadState(state);
        return true;
    }
    crash::ThreadRegisters registers;
    if (!crash::suspendedThreadRegisters(BBXThreadTID(thread), &registers)) {
        BBXSDKLog("%s: failed to get thread state\n", __func__);
        return false;
    }
    *state = stateFromGregs(registers.gregs);
    return true;
}

namespace {

// Whether thread's registers are made up here (the recording thread, unless
// it is the crashed one with a machine context).
bool isMadeUp(const BBXProcess* process, BBXThread thread) {
    return BBXThreadsMatch(thread, process->recordingThread) &&
           !(BBXThreadsMatch(thread, process->crashedThread) && process->machineContext);
}

// Every frame the unwinder finds, innermost first. A made-up state starts at
// a return address; the others where the thread was stopped.
void writeStack(const BBXThreadState* state, bool madeUp, BBXFile* file) {
    BBXUnwindContext unwind;
    if (!BBXUnwindInitContext(&unwind, state, !madeUp)) {
        BBXSDKLog("%s: unable to init unwind context\n", "BBXProcessRecordAllThreads");
        return;
    }
    while (BBXUnwindNextFrame(&unwind)) BBXFileWriteUnsignedElement(file, BBXUnwindGetPC(&unwind));
}

}  // namespace

bool BBXProcessRecordAllThreads(const BBXProcess* process, BBXFile* file) {
    if (!isProcess(process, __func__)) return false;
    BBXFileOpenSection(file, "threads");
    BBXFileBeginArray(file);
    // Each entry has a recovery point of its own: a fault while one thread is
    // recorded (its stack unreadable in a way no check foresaw) cuts that
    // entry back to an empty one and the others are recorded as usual. The
    // section's own point is set again afterwards.
    sigjmp_buf* sectionPoint = crash::recoveryPoint();
    for (int i = 0; i < process->threadCount; ++i) {
        BBXThread thread = process->threads[i];
        BBXFileFlush(file);
        const uint64_t entryStart = file->writtenCount;
        const int32_t entryDepth = file->depth;
        const uint8_t entryComma = file->needsComma;
        sigjmp_buf entryPoint;
        if (sigsetjmp(entryPoint, 1) == 0) {
            crash::setRecoveryPoint(&entryPoint);
            BBXSDKLog("%s: recording thread %d data\n", __func__, i);
            BBXThreadState state;
            bool madeUp = isMadeUp(process, thread);
            bool known = true;
            if (madeUp) {
                // Taken here, not in a callee that returns before the walk: the
                // walk reads the frame the state starts in, which must still be
                // live (a returned callee's frame is overwritten by the walk's own).
                BBXSDKLog("%s: Faking current thread\n", "BBXProcessGetThreadState");
                fakeCurrentThreadState(&state);
            } else {
                known = BBXProcessGetThreadState(process, thread, &state);
            }
            if (!known) BBXSDKLog("%s: unable to get thread state\n", __func__);
            // A thread whose state cannot be read is written without registers
            // or frames, so the per-thread arrays keep one entry per thread.
            BBXFileBeginObject(file);
            writeRegisters(file, known ? &state : nullptr);
            BBXFileWriteKey(file, "stacktrace");
            BBXFileBeginArray(file);
            BBXHandlerRunTestHook(BBXHandlerPhaseThread, i);
            if (known) writeStack(&state, madeUp, file);
            BBXFileEndArray(file);
        } else {
            BBXSDKLog("%s: fault while recording thread %d, its entry left empty\n", __func__, i);
            if (!BBXFileTruncate(file, entryStart, entryDepth, entryComma))
                BBXSDKLog("%s: unable to cut the entry of thread %d\n", __func__, i);
            BBXFileBeginObject(file);
            BBXFileWriteKey(file, "stacktrace");
            BBXFileBeginArray(file);
            BBXFileEndArray(file);
        }
        crash::setRecoveryPoint(sectionPoint);
        if (BBXThreadsMatch(thread, process->crashedThread)) BBXFileWriteBoolEntry(file, "crashed", true);
        BBXFileEndObject(file);
    }
    BBXFileEndArray(file);
    BBXFileCloseSection(file);
    BBXSDKLog("%s: completed recording all thread data\n", __func__);
    return true;
}

bool BBXProcessRecordRuntimeInfo(const BBXProcess* process, BBXFile* file) {
    if (!isProcess(process, __func__)) return false;
    BBXFileOpenSection(file, "runtime");
    BBXFileBeginObject(file);
    // No message-send trampolines here: there is never a selector to name.
    BBXFileWriteStringEntry(file, "objc_selector", "");
    BBXFileWriteKey(file, "crash_info_entries");
    BBXFileBeginArray(file);
    if (BBXWritableContext* writable = BBXContextGetWritable()) {
        for (const BBXBinaryImageNode& node : writable->binaryImages) {
            if (node.base == 0 || node.crashInfo == 0) continue;
            // Nothing on Linux carries a crash-info section; kept for images that would.
            uint8_t info[56];
            if (!BBXReadMemory(reinterpret_cast<const void*>(node.crashInfo), info, sizeof info)) continue;
            uint32_t version;
            std::memcpy(&version, info, sizeof version);
            BBXSDKLog("%s: Found crash info with version %d\n", __func__, static_cast<int>(version));
            uint64_t message;
            std::memcpy(&message, info + 8, sizeof message);
            if (version >= 6 || message == 0) continue;
            BBXSDKLog("%s: attempting to read crash info string\n", __func__);
            const char* text = nullptr;
            if (BBXIsReadableString(reinterpret_cast<const char*>(message), &text, 256)) BBXFileWriteHexElement(file, text);
            else BBXSDKLog("%s: Error: failed to copy crash info string\n", __func__);
        }
    }
    AbortMessage** abortMessage = gAbortMessage.load();
    AbortMessage* current = nullptr;
    if (abortMessage && BBXReadMemory(abortMessage, &current, sizeof current) && current) {
        const char* text = nullptr;
        if (BBXIsReadableString(current->message, &text, 256)) BBXFileWriteHexElement(file, text);
    }
    BBXFileEndArray(file);
    BBXFileEndObject(file);
    BBXFileCloseSection(file);
    return true;
}

const char* BBXProcessGetThreadDispatchQueueName(const BBXProcess*, BBXThread thread) {
    const char* label = foundation::publishedRunningQueueLabel(BBXThreadTID(thread));
    const char* readable = nullptr;
    if (label && BBXIsReadableString(label, &readable, 128)) return readable;
    return "";
}

bool BBXProcessRecordDispatchQueueNames(const BBXProcess* process, BBXFile* file) {
    if (!isProcess(process, __func__)) return false;
    BBXFileOpenSection(file, "dispatch_queue_names");
    BBXFileBeginArray(file);
    for (int i = 0; i < process->threadCount; ++i)
        BBXFileWriteStringElement(file, BBXProcessGetThreadDispatchQueueName(process, process->threads[i]));
    BBXFileEndArray(file);
    BBXFileCloseSection(file);
    return true;
}

bool BBXProcessRecordThreadNames(const BBXProcess* process, BBXFile* file) {
    if (!isProcess(process, __func__)) return false;
    char processName[kNameLimit] = {};
    crash::kernelProcessName(processName, sizeof processName);
    BBXFileOpenSection(file, "thread_names");
    BBXFileBeginArray(file);
    for (int i = 0; i < process->threadCount; ++i) {
        pid_t tid = BBXThreadTID(process->threads[i]);
        char name[kNameLimit] = {};
        // Linux threads inherit the process's name: only a name of their own counts.
        if (!foundation::publishedThreadName(tid, name, sizeof name) &&
            (!crash::kernelThreadName(tid, name, sizeof name) || std::strcmp(name, processName) == 0))
            name[0] = '\0';
        BBXFileWriteStringElement(file, name);
    }
    BBXFileEndArray(file);
    BBXFileCloseSection(file);
    return true;
}

bool BBXProcessRecordStats(const BBXProcess* process, BBXFile* file) {
    if (!isProcess(process, __func__)) return false;
    crash::HostMemory memory;
    crash::ProcessUsage usage;
    bool haveMemory = crash::hostMemory(&memory);
    if (!haveMemory) BBXSDKLog("%s: Failed to get vm statistics\n", __func__);
    bool haveUsage = crash::processUsage(&usage);
    if (!haveUsage) BBXSDKLog("%s: Failed to get task info\n", __func__);
    if (!haveMemory || !haveUsage) {
        BBXSDKLog("%s: Unable to get process stats\n", __func__);
        return false;
    }
    BBXFileOpenSection(file, "process_stats");
    BBXFileBeginObject(file);
    BBXFileWriteUnsignedEntry(file, "active", memory.active);
    BBXFileWriteUnsignedEntry(file, "inactive", memory.inactive);
    BBXFileWriteUnsignedEntry(file, "wired", memory.wired);
    BBXFileWriteUnsignedEntry(file, "freeMem", memory.free);
    BBXFileWriteUnsignedEntry(file, "free_mem", memory.free);
    BBXFileWriteUnsignedEntry(file, "virtual", usage.virtualSize);
    BBXFileWriteUnsignedEntry(file, "resident", usage.residentSize);
    BBXFileWriteUnsignedEntry(file, "user_time", usage.userMicroseconds);
    BBXFileWriteUnsignedEntry(file, "sys_time", usage.systemMicroseconds);
    BBXFileEndObject(file);
    BBXFileCloseSection(file);
    return true;
}

bool BBXProcessRecordStorage(const char* path, BBXFile* file) {
    crash::Storage storage;
    bool known = crash::storageOf(path, &storage);
    BBXFileOpenSection(file, "storage");
    BBXFileBeginObject(file);
    if (known) {
        BBXFileWriteUnsignedEntry(file, "free", storage.free);
        BBXFileWriteUnsignedEntry(file, "total", storage.total);
    }
    BBXFileEndObject(file);
    BBXFileCloseSection(file);
    return known;
}

bool BBXProcessDebuggerAttached() {
    std::optional<bool> traced = crash::tracerAttached();
    if (!traced) {
        BBXSDKLog("%s: sysctl failed while trying to get kinfo_proc\n", __func__);
        return false;
    }
    return *traced;
}
