#include "sdk/blackbox/BBXSDKLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstring>

#include "platform/crash/Threads.h"
#include "sdk/blackbox/BBXContext.h"
#include "sdk/blackbox/BBXNumberText.h"

namespace {

// The descriptor of "sdk.log", opened once; -1 when no context or it cannot
// be opened (a later call tries again).
int logDescriptor() {
    BBXReadOnlyContext* readOnly = BBXContextGetReadOnly();
    BBXWritableContext* writable = BBXContextGetWritable();
    if (!readOnly || !writable || !readOnly->sdkLogPath) return -1;
    auto* slot = reinterpret_cast<std::atomic<int32_t>*>(&writable->sdkLogFD);
    int32_t fd = slot->load();
    if (fd >= 0) return fd;
    int opened = ::open(readOnly->sdkLogPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (opened < 0) return -1;
    int32_t expected = -1;
    if (slot->compare_exchange_strong(expected, opened)) return opened;
    ::close(opened);  // another thread opened it first
    return expected;
}

// The crash handler's batch: only its thread touches the bytes.
std::atomic<pid_t> gBatchThread{0};
char gBatch[65536];
size_t gBatchUsed = 0;

bool onBatchThread() {
    pid_t batching = gBatchThread.load(std::memory_order_acquire);
    return batching != 0 && batching == crash::currentThreadID();
}

void flushBatch() {
    int fd = gBatchUsed > 0 ? logDescriptor() : -1;
    if (fd >= 0) (void)!::write(fd, gBatch, gBatchUsed);
    gBatchUsed = 0;
}

void writeOut(int fd, const char* bytes, size_t count) {
    if (count == 0) return;
    if (!onBatchThread()) {
        (void)!::write(fd, bytes, count);
        return;
    }
    if (gBatchUsed + count > sizeof gBatch) flushBatch();
    std::memcpy(gBatch + gBatchUsed, bytes, count);  // a line piece is at most 512 bytes
    gBatchUsed += count;
}

// A line is gathered here and written with one write(2): a byte-by-byte
// write made every line cost dozens of system calls, which a crash handler
// walking hundreds of frames cannot afford, and a whole-line append keeps
// lines of two threads from mixing. A longer line goes out in pieces.
struct Line {
    explicit Line(int descriptor) : fd(descriptor) {}
    int fd;
    size_t used = 0;
    char bytes[512];

    void flush() {
        writeOut(fd, bytes, used);
        used = 0;
    }
    void put(const char* text, size_t count) {
        while (count > 0) {
            if (used == sizeof bytes) flush();
            size_t take = std::min(count, sizeof bytes - used);
            std::memcpy(bytes + used, text, take);
            used += take;
            text += take;
            count -= take;
        }
    }
    void putNumber(uint64_t value, unsigned base, bool negative) {
        char digits[kBBXNumberTextSize];
        size_t at = BBXNumberText(digits, value, base, negative);
        put(digits + at, sizeof digits - at);
    }
};

}  // namespace

void BBXSDKLog(const char* format, ...) {
    if (!format) return;
    int fd = logDescriptor();
    if (fd < 0) return;
    va_list arguments;
    va_start(arguments, format);
    Line line(fd);
    for (const char* at = format; *at; ++at) {
        if (*at != '%' || at[1] == '\0') {
            line.put(at, 1);
            continue;
        }
        const char* directive = at;
        ++at;
        // l, ll and z make d, u and x 64-bit.
        bool wide = false;
        while ((*at == 'l' || *at == 'z') && at - directive < 3) {
            wide = true;
            ++at;
        }
        if (*at == 's' && !wide) {
            const char* text = va_arg(arguments, const char*);
            if (!text) text = "(null)";
            line.put(text, std::strlen(text));
        } else if (*at == 'd' && wide) {
            int64_t value = va_arg(arguments, int64_t);
            line.putNumber(BBXMagnitude(value), 10, value < 0);
        } else if (*at == 'd') {
            int32_t value = va_arg(arguments, int32_t);
            line.putNumber(BBXMagnitude(value), 10, value < 0);
        } else if (*at == 'u' || *at == 'x') {
            uint64_t value = wide ? va_arg(arguments, uint64_t) : va_arg(arguments, uint32_t);
            line.putNumber(value, *at == 'u' ? 10 : 16, false);
        } else if (*at == 'p' && !wide) {
            line.put("0x", 2);
            line.putNumber(reinterpret_cast<uintptr_t>(va_arg(arguments, void*)), 16, false);
        } else if (*at == '\0') {
            // The format ends inside the directive: what is there, as it is.
            line.put(directive, static_cast<size_t>(at - directive));
            --at;
        } else {
            // Any other directive is written as it stands and takes no argument.
            line.put(directive, static_cast<size_t>(at - directive) + 1);
        }
    }
    va_end(arguments);
    line.flush();
}

void BBXSDKLogBeginBatch() {
    gBatchUsed = 0;
    gBatchThread.store(crash::currentThreadID(), std::memory_order_release);
}

void BBXSDKLogFlushBatch() {
    if (onBatchThread()) flushBatch();
}

void BBXSDKLogEndBatch() {
    if (!onBatchThread()) return;
    flushBatch();
    gBatchThread.store(0, std::memory_order_release);
}
