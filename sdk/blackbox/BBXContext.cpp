#include "sdk/blackbox/BBXContext.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <new>
#include <optional>
#include <string>

#include "platform/dispatch/Group.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/SystemLog.h"
#include "sdk/beacon/BCNApplication.h"
#include "sdk/blackbox/BBXApplication.h"
#include "sdk/blackbox/BBXException.h"
#include "sdk/blackbox/BBXHost.h"
#include "sdk/blackbox/BBXMachException.h"
#include "sdk/blackbox/BBXProcess.h"
#include "sdk/blackbox/BBXSDKLog.h"
#include "sdk/blackbox/BBXSignal.h"
#include "sdk/blackbox/BBXUserLogging.h"
#include "sdk/blackbox/BBXUtilities.h"

namespace {

std::atomic<BBXReadOnlyContext*> gReadOnly{nullptr};
std::atomic<BBXWritableContext*> gWritable{nullptr};
std::atomic<BBXAllocator*> gAllocator{nullptr};
std::atomic<BBXContextBlockHook> gBlockHook{nullptr};

// Never destroyed: the queues serve until the process has gone.
struct Queues {
    std::mutex mutex;
    std::shared_ptr<dispatch::Queue> logging;
    std::shared_ptr<dispatch::Queue> binaryImages;
    std::shared_ptr<dispatch::Queue> exception;
};
Queues& queues() {
    static auto* state = new Queues;
    return *state;
}

constexpr double kInitializationWaitSeconds = 5.0;

// What the set-up blocks need from the caller's record, copied: a block that
// outlives the 5 s wait must not read the caller's memory.
struct InitValues {
    std::optional<std::string> apiKey;
    std::optional<std::string> customBundleID;
    std::string reportPath;
    std::optional<std::string> sessionID;
    std::optional<std::string> installID;
    std::optional<std::string> betaToken;
    uint32_t machExceptionMask = 0;
    bool errorReportingEnabled = false;
    bool customExceptionsEnabled = false;
    uint32_t maxCustomExceptions = 0;
    uint32_t logBufferSize = 0;
    uint32_t maxCustomKeys = 0;
    time_t startedAt = 0;
};

std::optional<std::string> text(const char* value) {
    if (!value) return std::nullopt;
    return std::string(value);
}

// A file of the report folder, copied into the read-only region.
const char* reportFile(const InitValues& values, const char* name) {
    std::string path = (std::filesystem::path(values.reportPath) / name).string();
    return BBXCopyString(path.c_str());
}

void runHook(int block) {
    if (BBXContextBlockHook hook = gBlockHook.load()) hook(block);
}

void fillUserLoggingStores(BBXReadOnlyContext* readOnly, BBXWritableContext* writable, const InitValues& values) {
    auto& keyValue = readOnly->keyValueStore;
    keyValue.userIncrementalPath = reportFile(values, "user_incremental_kv.bbxrecord");
    keyValue.userCompactedPath = reportFile(values, "user_compacted_kv.bbxrecord");
    keyValue.maxUserKeys = values.maxCustomKeys;
    keyValue.internalIncrementalPath = reportFile(values, "internal_incremental_kv.bbxrecord");
    keyValue.internalCompactedPath = reportFile(values, "internal_compacted_kv.bbxrecord");
    keyValue.maxInternalKeys = kBBXInternalKeyValueMaxKeys;

    readOnly->logStore = BBXABStore{reportFile(values, "log_a.bbxrecord"), reportFile(values, "log_b.bbxrecord"),
                                    values.logBufferSize, 0, 1, 0, &writable->log};
    readOnly->errorStore = BBXABStore{reportFile(values, "errors_a.bbxrecord"), reportFile(values, "errors_b.bbxrecord"),
                                      0, values.errorReportingEnabled ? values.maxCustomExceptions : 0, 0, 1,
                                      &writable->errors};
    readOnly->customExceptionStore =
        BBXABStore{reportFile(values, "custom_exception_a.bbxrecord"), reportFile(values, "custom_exception_b.bbxrecord"),
                   0, values.maxCustomExceptions, 0, 1, &writable->customExceptions};
}

void writeIdentity(BBXFile* file, const InitValues& values) {
    BBXFileOpenSection(file, "identity");
    BBXFileBeginObject(file);
    BBXFileWriteStringEntry(file, "generator", "Blackbox Mac SDK/3.6.0");
    BBXFileWriteStringEntry(file, "build_version", "99");
    BBXFileWriteStringEntry(file, "display_version", "3.6.0");
    BBXFileWriteNSStringEntry(file, "api_key", values.apiKey);
    BBXFileWriteUnsignedEntry(file, "started_at", static_cast<uint64_t>(values.startedAt));
    BBXFileWriteNSStringEntry(file, "session_id", values.sessionID);
    BBXFileWriteNSStringEntry(file, "install_id", values.installID);
    BBXFileWriteNSStringEntry(file, "beta_token", values.betaToken);
    BBXFileEndObject(file);
    BBXFileCloseSection(file);
}

void writeApplication(BBXFile* file, const InitValues& values) {
    BBXFileOpenSection(file, "application");
    BBXFileBeginObject(file);
    BBXFileWriteNSStringEntry(file, "bundle_id", BCNApplicationGetEscapedBundleIdentifier());
    BBXFileWriteNSStringEntry(file, "custom_bundle_id", values.customBundleID);
    BBXFileWriteNSStringEntry(file, "build_version", BCNApplicationGetBuildVersion());
    BBXFileWriteNSStringEntry(file, "display_version", BCNApplicationGetDisplayVersion());
    BBXFileWriteNSStringEntry(file, "extension_id", BBXApplicationExtensionPointIdentifier());
    BBXFileEndObject(file);
    BBXFileCloseSection(file);
}

void recordMetadata(const InitValues& values) {
    static const char* const kFunction = "BBXContextRecordMetadata";
    std::string path = (std::filesystem::path(values.reportPath) / "metadata.bbxrecord").string();
    if (!BBXUnlinkIfExists(path.c_str()))
        BBXSDKLog("%s: Unable to unlink existing metadata file %s\n", kFunction, path.c_str());
    BBXFile file;
    if (!BBXFileInit(&file, path.c_str(), false)) {
        BBXSDKLog("%s: Unable to open metadata file %s\n", kFunction, path.c_str());
        BBXSDKLog("%s: Unable to record context metadata\n", kFunction);
        return;
    }
    writeIdentity(&file, values);
    if (!BBXHostRecord(&file)) BBXSDKLog("%s: Unable to write out host metadata\n", kFunction);
    writeApplication(&file, values);
    if (!BBXBinaryImageRecordExecutable(&file)) BBXSDKLog("%s: Unable to write out executable metadata\n", kFunction);
    BBXFileClose(&file);
}

}  // namespace

size_t BBXContextWritableRegionSize() {
    // Blocks are rounded up to 16 bytes each.
    return 2 * kBBXHandlerStackSize + sizeof(BBXWritableContext) + 16;
}

size_t BBXContextReadOnlyRegionSize() { return sizeof(BBXReadOnlyContext) + 16 + kBBXReadOnlyStringRoom; }

void BBXContextInitialize(const BBXContextInitData* data) {
    static const char* const kFunction = "BBXContextInitialize";
    if (!data) return;
    auto values = std::make_shared<InitValues>();
    values->apiKey = text(data->apiKey);
    values->customBundleID = text(data->customBundleID);
    values->reportPath = data->reportPath ? data->reportPath : "";
    values->sessionID = text(data->sessionID);
    values->installID = text(data->installID);
    values->betaToken = text(data->betaToken);
    values->machExceptionMask = data->machExceptionMask;
    values->errorReportingEnabled = data->errorReportingEnabled != 0;
    values->customExceptionsEnabled = data->customExceptionsEnabled != 0;
    values->maxCustomExceptions = data->maxCustomExceptions;
    values->logBufferSize = data->logBufferSize;
    values->maxCustomKeys = data->maxCustomKeys;
    values->startedAt = ::time(nullptr);

    // 1. The queues, the mapping and the two records. The handler stacks stay
    // as the fresh mapping gave them, zeroed, and untouched until a handler
    // runs on them.
    {
        std::lock_guard lock(queues().mutex);
        queues().logging = dispatch::Queue::createSerial("org.blackbox.mac.logging");
        queues().binaryImages = dispatch::Queue::createSerial("org.blackbox.mac.binary-images");
        queues().exception = dispatch::Queue::createSerial("org.blackbox.mac.exception");
    }
    BBXAllocator* allocator = BBXAllocatorCreate(BBXContextWritableRegionSize(), BBXContextReadOnlyRegionSize());
    gAllocator.store(allocator);
    auto* readOnly = new (BBXAllocatorSafeAllocate(allocator, sizeof(BBXReadOnlyContext), BBXAllocationReadOnly))
        BBXReadOnlyContext{};
    readOnly->signalStack = BBXAllocatorSafeAllocate(allocator, kBBXHandlerStackSize, BBXAllocationWritable);
    readOnly->machServerStack = BBXAllocatorSafeAllocate(allocator, kBBXHandlerStackSize, BBXAllocationWritable);
    auto* writable = new (BBXAllocatorSafeAllocate(allocator, sizeof(BBXWritableContext), BBXAllocationWritable))
        BBXWritableContext{};
    writable->sdkLogFD = -1;
    writable->crashRecorded = 0;
    readOnly->initialized = 0;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    gReadOnly.store(readOnly);
    gWritable.store(writable);

    // The crash path's own needs: the thread-suspension handler, glibc's
    // assertion message.
    BBXProcessInitializeRuntime();

    // 2. The group of set-up blocks on the default global queue.
    auto group = std::make_shared<dispatch::Group>();
    auto global = dispatch::Queue::global(dispatch::Priority::Default);
    // Each block holds the group: a block that outlives the wait below still
    // leaves a live group.
    auto inGroup = [group, global](std::function<void()> block) {
        group->async(global, [group, block = std::move(block)] { block(); });
    };

    // 3. The diagnostic log's path, any earlier log removed.
    readOnly->sdkLogPath = reportFile(*values, "sdk.log");
    if (readOnly->sdkLogPath && ::unlink(readOnly->sdkLogPath) != 0 && errno != ENOENT)
        foundation::systemLog(std::string("[Blackbox:Crash] Unable to write initialize SDK write paths ") +
                              std::strerror(errno));

    // 4. Debugger, observer, delegate.
    readOnly->debuggerAttached = BBXProcessDebuggerAttached() ? 1 : 0;
    readOnly->crashObserver = data->crashObserver;
    readOnly->delegate = data->delegate;
    readOnly->firstInstall = data->firstInstall ? 1 : 0;

    // 5. Host.
    inGroup([readOnly] {
        runHook(1);
        BBXHostInitialize();
        readOnly->pageSize = BBXHostGetPageSize();
        readOnly->cachesPath = BBXCopyString(foundation::Paths::caches().string().c_str());
    });
    // 6. User logging.
    inGroup([readOnly, writable, values] {
        runHook(2);
        fillUserLoggingStores(readOnly, writable, *values);
        BBXUserLoggingInitStores(readOnly, writable);
    });
    // 7. Binary images.
    inGroup([readOnly, values] {
        runHook(3);
        readOnly->binaryImagesPath = reportFile(*values, "binary_images.bbxrecord");
        BBXBinaryImageInit();
    });
    // 8, 9. Handlers, unless a debugger would catch every signal first.
    if (readOnly->debuggerAttached) {
        BBXSDKLog("%s: Debugger present - not installing handlers\n", kFunction);
    } else {
        // The alternate stack belongs to the thread that installs it: this one,
        // which a stack overflow is likeliest to end, not a set-up worker.
        BBXSignalInstallAltStack(&readOnly->signalStore, readOnly->signalStack);
        inGroup([readOnly, values] {
            runHook(4);
            readOnly->signalStore.path = reportFile(*values, "signal.bbxrecord");
            BBXSignalInitialize(&readOnly->signalStore);
        });
        inGroup([readOnly, values] {
            runHook(5);
            readOnly->machStore.path = reportFile(*values, "mach_exception.bbxrecord");
            BBXMachExceptionInit(&readOnly->machStore, values->machExceptionMask);
        });
        inGroup([readOnly, writable, values] {
            runHook(6);
            readOnly->exceptionStore.path = reportFile(*values, "exception.bbxrecord");
            readOnly->exceptionStore.maxCount = values->customExceptionsEnabled ? values->maxCustomExceptions : 0;
            readOnly->exceptionStore.counter = &writable->exceptionCount;
            BBXExceptionInitialize(&readOnly->exceptionStore, &writable->exceptionCount);
        });
    }
    // 10. Metadata.
    inGroup([values] {
        runHook(7);
        recordMetadata(*values);
    });
    // 11. Once every block has run: initialised, then write-protected. When
    // the set-up ends within the wait below, this thread finishes it before
    // returning, so a caller's first keys and log lines find the context
    // initialised; the group's notice would run a moment later on a worker.
    // Whichever comes first does it; the other waits until it is done.
    auto finished = std::make_shared<std::once_flag>();
    auto finish = [finished, readOnly, allocator] {
        std::call_once(*finished, [readOnly, allocator] {
            std::atomic_thread_fence(std::memory_order_seq_cst);
            std::atomic_ref<uint8_t>(readOnly->initialized).store(1);
            std::atomic_thread_fence(std::memory_order_seq_cst);
            if (!BBXAllocatorProtect(allocator)) BBXSDKLog("%s: Error: Memory protection failed\n", kFunction);
        });
    };
    group->notify(global, finish);
    // 12. A slow set-up finishes in the background.
    if (group->wait(kInitializationWaitSeconds)) finish();
    else BBXSDKLog("%s: Error: Delayed initialization\n", kFunction);
}

bool BBXContextIsInitialized() {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    BBXReadOnlyContext* readOnly = gReadOnly.load();
    if (reinterpret_cast<uintptr_t>(readOnly) < 4096) return false;
    return std::atomic_ref<uint8_t>(readOnly->initialized).load() != 0;
}

bool BBXContextDebuggerAttachedFlag() {
    BBXReadOnlyContext* readOnly = gReadOnly.load();
    return readOnly && readOnly->debuggerAttached;
}

bool BBXContextCrashRecorded() {
    return BBXContextIsInitialized() && std::atomic_ref<uint8_t>(gWritable.load()->crashRecorded).load() != 0;
}

void BBXContextSetCrashRecorded() {
    if (BBXContextIsInitialized()) std::atomic_ref<uint8_t>(gWritable.load()->crashRecorded).store(1);
}

void BBXContextReset() {
    BBXReadOnlyContext* readOnly = gReadOnly.load();
    BBXAllocator* allocator = gAllocator.load();
    // The read-only context may be protected by now: unprotect, clear, protect.
    if (readOnly && allocator && BBXAllocatorUnprotect(allocator)) {
        std::atomic_ref<uint8_t>(readOnly->initialized).store(0);
        BBXAllocatorProtect(allocator);
    }
    BBXAllocatorDestroy(allocator);
}

bool BBXContextMarkCrashRecorded() {
    if (!BBXContextIsInitialized()) return false;
    std::atomic_ref<uint8_t> flag(gWritable.load()->crashRecorded);
    return flag.exchange(1, std::memory_order_seq_cst) != 0;
}

BBXReadOnlyContext* BBXContextGetReadOnly() { return gReadOnly.load(); }
BBXWritableContext* BBXContextGetWritable() { return gWritable.load(); }
BBXAllocator* BBXContextGetAllocator() { return gAllocator.load(); }

std::shared_ptr<dispatch::Queue> BBXContextLoggingQueue() {
    std::lock_guard lock(queues().mutex);
    return queues().logging;
}

std::shared_ptr<dispatch::Queue> BBXContextBinaryImagesQueue() {
    std::lock_guard lock(queues().mutex);
    return queues().binaryImages;
}

std::shared_ptr<dispatch::Queue> BBXContextExceptionQueue() {
    std::lock_guard lock(queues().mutex);
    return queues().exception;
}

void BBXContextSetBlockHook(BBXContextBlockHook hook) { gBlockHook.store(hook); }
