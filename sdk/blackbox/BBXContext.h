#pragma once
// The capture context: the state every module of the capture core shares,
// kept in one guarded mapping (BBXAllocator.h) so a corrupted process cannot
// easily overwrite it. BBXContextInitialize sets it up once per launch with
// the folder of the new report; the crash handlers read it afterwards.
//
// Two records: the read-only context (paths, limits, saved handlers), write-
// protected once set-up ends, and the writable context (descriptors, flags,
// counters and the binary-image table the crash path updates).
//
// The readers below are async-signal-safe.

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "sdk/blackbox/BBXAllocator.h"
#include "sdk/blackbox/BBXBinaryImage.h"
#include "sdk/blackbox/BBXFile.h"

// What the report lifecycle hands to BBXContextInitialize. Strings are C
// strings (null for none); the last six come from the kit settings.
struct BBXContextInitData {
    const char* apiKey = nullptr;
    void* crashObserver = nullptr;  // none in this program
    bool firstInstall = false;
    void* delegate = nullptr;  // the crash-reporting controller, when it asks for the callback
    const char* customBundleID = nullptr;
    const char* reportPath = nullptr;
    const char* sessionID = nullptr;
    const char* installID = nullptr;
    const char* betaToken = nullptr;
    uint32_t machExceptionMask = 0;
    uint8_t errorReportingEnabled = 0;
    uint8_t customExceptionsEnabled = 0;
    uint32_t maxCustomExceptions = 0;
    uint32_t errorLogBufferSize = 0;  // not read by the core
    uint32_t logBufferSize = 0;
    uint32_t maxCustomKeys = 0;
};

// An A/B pair of files (log lines, errors, custom exceptions): the active file
// of the pair and its entry count live in the writable context.
struct BBXABStoreState {
    uint8_t activeFile = 0;  // 0 = A, 1 = B
    uint32_t entryCount = 0;
};

struct BBXABStore {
    const char* aPath = nullptr;
    const char* bPath = nullptr;
    uint32_t maxSize = 0;   // bytes, size-restricted stores
    uint32_t maxCount = 0;  // entries, count-restricted stores
    uint8_t sizeRestricted = 0;
    uint8_t countRestricted = 0;
    BBXABStoreState* state = nullptr;
};

inline constexpr int kBBXHandledSignalCount = 7;
inline constexpr int kBBXMachPreviousPortCount = 14;

struct BBXMachPreviousPort {
    uint32_t mask = 0;
    uint32_t port = 0;
    int32_t behavior = 0;
    int32_t flavor = 0;
};

struct BBXReadOnlyContext {
    uint8_t initialized = 0;
    uint8_t debuggerAttached = 0;
    const char* sdkLogPath = nullptr;
    void* signalStack = nullptr;
    void* machServerStack = nullptr;
    void* crashObserver = nullptr;
    void* delegate = nullptr;
    uint8_t firstInstall = 0;
    const char* binaryImagesPath = nullptr;
    struct BBXExceptionStore {
        const char* path = nullptr;
        uint32_t maxCount = 0;
        uint32_t* counter = nullptr;
        void (*previousTerminate)() = nullptr;
        void* replacedReportException = nullptr;
    } exceptionStore;
    const char* cachesPath = nullptr;
    uint64_t pageSize = 0;
    struct BBXSignalStore {
        const char* path = nullptr;
        struct sigaction previous[kBBXHandledSignalCount];
        stack_t previousStack;
        pid_t stackThread;  // the thread the signal stack was installed on
    } signalStore;
    struct BBXMachExceptionStore {
        const char* path = nullptr;
        uint32_t mask = 0;
        uint32_t port = 0;
        pthread_t serverThread = 0;
        uint32_t previousCount = 0;
        BBXMachPreviousPort previous[kBBXMachPreviousPortCount];
    } machStore;
    struct {
        const char* userIncrementalPath = nullptr;
        const char* userCompactedPath = nullptr;
        uint32_t maxUserKeys = 0;
        const char* internalIncrementalPath = nullptr;
        const char* internalCompactedPath = nullptr;
        uint32_t maxInternalKeys = 0;
    } keyValueStore;
    BBXABStore logStore;
    BBXABStore errorStore;
    BBXABStore customExceptionStore;
    // Log times count from startTime (machine time, nanoseconds times the
    // timebase factor); both key-value stores compact after
    // maxIncrementalEntries writes.
    struct {
        uint64_t startTime = 0;
        uint64_t timebaseFactor = 1;
        uint32_t maxIncrementalEntries = 0;
    } userLogging;
};

struct BBXWritableContext {
    int32_t sdkLogFD = -1;
    uint8_t crashRecorded = 0;
    BBXFile binaryImageFile;
    BBXBinaryImageNode binaryImages[kBBXBinaryImageSlotCount];
    struct {
        uint32_t userIncrementalCount = 0;
        uint32_t internalIncrementalCount = 0;
    } keyValue;
    BBXABStoreState log;
    BBXABStoreState errors;
    BBXABStoreState customExceptions;
    uint32_t exceptionCount = 0;
};

// The stack sizes of the signal handler and the exception server.
inline constexpr size_t kBBXHandlerStackSize = 0x40000;
// Room in the read-only region for the copied path strings.
inline constexpr size_t kBBXReadOnlyStringRoom = 16384;

// Returns with the context initialised when set-up ends within 5 s; a slower
// one finishes in the background (BBXContextIsInitialized tells).
void BBXContextInitialize(const BBXContextInitData* data);
bool BBXContextIsInitialized();
bool BBXContextDebuggerAttachedFlag();
bool BBXContextCrashRecorded();
void BBXContextSetCrashRecorded();
void BBXContextReset();
// False when there is no initialised context; true when a crash was already
// recorded; otherwise records that one is and answers false, so only the
// first handler of a crash records it.
bool BBXContextMarkCrashRecorded();

// The records and the allocator (null before BBXContextInitialize).
BBXReadOnlyContext* BBXContextGetReadOnly();
BBXWritableContext* BBXContextGetWritable();
BBXAllocator* BBXContextGetAllocator();

// The three serial queues of the core (null before BBXContextInitialize):
// "org.blackbox.mac.logging", "org.blackbox.mac.binary-images",
// "org.blackbox.mac.exception".
namespace dispatch { class Queue; }
std::shared_ptr<dispatch::Queue> BBXContextLoggingQueue();
std::shared_ptr<dispatch::Queue> BBXContextBinaryImagesQueue();
std::shared_ptr<dispatch::Queue> BBXContextExceptionQueue();

// The writable and read-only sizes BBXContextInitialize asks the allocator
// for: both stacks and the writable context; the read-only context and room
// for its paths.
size_t BBXContextWritableRegionSize();
size_t BBXContextReadOnlyRegionSize();

// Tests: called at the start of each set-up block with its number (1 host, 2
// user logging, 3 binary images, 4 signals, 5 exception ports, 6 exceptions,
// 7 metadata), on the block's thread; null removes it.
using BBXContextBlockHook = void (*)(int block);
void BBXContextSetBlockHook(BBXContextBlockHook hook);
