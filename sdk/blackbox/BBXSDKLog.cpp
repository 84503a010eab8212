#include "sdk/blackbox/BBXSDKLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstring>

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

void put(int fd, const char* bytes, size_t count) {
    if (count > 0) (void)!::write(fd, bytes, count);
}

void putNumber(int fd, uint64_t value, unsigned base, bool negative) {
    char digits[kBBXNumberTextSize];
    size_t at = BBXNumberText(digits, value, base, negative);
    put(fd, digits + at, sizeof digits - at);
}

}  // namespace

void BBXSDKLog(const char* format, ...) {
    if (!format) return;
    int fd = logDescriptor();
    if (fd < 0) return;
    va_list arguments;
    va_start(arguments, format);
    for (const char* at = format; *at; ++at) {
        if (*at != '%' || at[1] == '\0') {
            put(fd, at, 1);
            continue;
        }
        ++at;
        switch (*at) {
            case 's': {
                const char* text = va_arg(arguments, const char*);
                if (!text) text = "(null)";
                put(fd, text, std::strlen(text));
                break;
            }
            case 'd': {
                int32_t value = va_arg(arguments, int32_t);
                putNumber(fd, BBXMagnitude(value), 10, value < 0);
                break;
            }
            case 'u':
                putNumber(fd, va_arg(arguments, uint32_t), 10, false);
                break;
            case 'x':
                putNumber(fd, va_arg(arguments, uint32_t), 16, false);
                break;
            case 'p':
                put(fd, "0x", 2);
                putNumber(fd, reinterpret_cast<uintptr_t>(va_arg(arguments, void*)), 16, false);
                break;
            default:
                put(fd, at - 1, 2);
                break;
        }
    }
    va_end(arguments);
}
