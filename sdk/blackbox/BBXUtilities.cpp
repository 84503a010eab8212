#include "sdk/blackbox/BBXUtilities.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/crash/MachineTime.h"
#include "platform/crash/MemoryReader.h"
#include "platform/dispatch/OperationQueue.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/UUID.h"
#include "sdk/beacon/BCNUUID.h"
#include "sdk/blackbox/BBXContext.h"

bool BBXReadMemory(const void* source, void* destination, size_t length) {
    if (reinterpret_cast<uintptr_t>(source) < 4096) return false;
    return crash::readMemory(source, destination, length);
}

bool BBXIsReadableString(const char* address, const char** start, size_t maximumLength) {
    if (maximumLength == 0) return true;
    for (size_t i = 0; i < maximumLength; ++i) {
        char byte = 0;
        if (reinterpret_cast<uintptr_t>(address + i) < 4096 || !BBXReadMemory(address + i, &byte, 1)) return false;
        if (byte == '\0') break;
    }
    if (start) *start = address;
    return true;
}

const char* BBXCopyString(const char* cString) {
    if (!cString) return nullptr;
    size_t length = std::strlen(cString) + 1;
    auto* copy = static_cast<char*>(BBXAllocatorSafeAllocate(BBXContextGetAllocator(), length, BBXAllocationReadOnly));
    if (copy) std::memcpy(copy, cString, length);
    return copy;
}

bool BBXUnlinkIfExists(const char* path) {
    if (!path) return false;
    return ::unlink(path) == 0 || errno == ENOENT;
}

std::string BBXLowercaseUUIDString() { return BCNUUIDHexStringFromBytes(foundation::UUID::random().bytes().data()); }

void BBXLookupSymbol(const void* address, const std::function<void(const char*, const char*)>& block) {
    if (!block) return;
    Dl_info info{};
    if (dladdr(address, &info) == 0) {
        block(nullptr, nullptr);
        return;
    }
    block(info.dli_sname ? info.dli_sname : "unknown", info.dli_fname ? info.dli_fname : "unknown");
}

void BBXDispatchAfterSeconds(const std::shared_ptr<dispatch::Queue>& queue, double seconds, std::function<void()> block) {
    // Whole nanoseconds from a single-precision product, as the delay always was.
    auto nanoseconds = static_cast<int64_t>(static_cast<float>(seconds) * 1e9f);
    dispatch::after(static_cast<double>(nanoseconds) / 1e9, queue, std::move(block));
}

void BBXAddOperationAfterDelay(const std::shared_ptr<dispatch::OperationQueue>& operationQueue,
                               std::function<void()> block, double seconds) {
    if (!operationQueue || !block) return;
    BBXDispatchAfterSeconds(dispatch::Queue::global(), seconds,
                            [operationQueue, block = std::move(block)] { operationQueue->addOperation(block); });
}

uint64_t BBXProfilingMarkNow() { return crash::machineAbsoluteTime(); }

double BBXProfilingElapsedMilliseconds(uint64_t mark) {
    crash::Timebase timebase = crash::machineTimebase();
    if (timebase.denom == 0) return 0;
    uint64_t elapsed = crash::machineAbsoluteTime() - mark;
    return static_cast<double>(timebase.numer * elapsed / timebase.denom) / 1e6;
}

void BBXProfilingLogBlock(const char* label, const std::function<void()>& block) {
    uint64_t mark = BBXProfilingMarkNow();
    if (block) block();
    std::fprintf(stderr, "[Profile] %s: %f ms\n", label ? label : "", BBXProfilingElapsedMilliseconds(mark));
}
