#include "sdk/blackbox/BBXFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <ctime>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/crash/Threads.h"
#include "sdk/blackbox/BBXNumberText.h"
#include "sdk/blackbox/BBXSDKLog.h"

// The writer half: runs in signal handlers, so nothing below allocates (but
// the buffer of a buffered file, at open, and sections composed in memory
// outside a crash), formats with the C library or locks.

namespace {

std::atomic<BBXFileWriteFunction> gWrite{nullptr};

// Whole writes under way, by thread: the crash path waits for them before the
// process ends (BBXFileSettleWholeWrites). A writer that finds no free slot
// writes unwatched; there are far fewer writing queues than slots.
constexpr int kWholeWriterSlots = 16;
std::atomic<pid_t> gWholeWriters[kWholeWriterSlots];
std::atomic<bool> gWholeWritesClosed{false};

int claimWholeWriterSlot(pid_t thread) {
    for (int i = 0; i < kWholeWriterSlots; ++i) {
        pid_t free = 0;
        if (gWholeWriters[i].compare_exchange_strong(free, thread)) return i;
    }
    return -1;
}

ssize_t writeBytes(int fd, const void* bytes, size_t count) {
    BBXFileWriteFunction function = gWrite.load(std::memory_order_relaxed);
    return function ? function(fd, bytes, count) : ::write(fd, bytes, count);
}

void flushBuffer(BBXFile* file) {
    if (!file->buffer || file->bufferCount == 0) return;
    ssize_t written = writeBytes(file->fd, file->buffer, file->bufferCount);
    if (written > 0) file->writtenCount += static_cast<uint64_t>(written);
    file->bufferCount = 0;
}

// One piece of output.
void put(BBXFile* file, const char* bytes, size_t count) {
    if (!file || file->fd < 0 || count == 0) return;
    if (file->composing) {
        file->composing->append(bytes, count);
        return;
    }
    if (!file->buffered || !file->buffer) {
        ssize_t written = writeBytes(file->fd, bytes, count);
        if (written > 0) file->writtenCount += static_cast<uint64_t>(written);
        return;
    }
    // A piece that would reach the buffer's size tops it up to 999 bytes and
    // flushes, as often as needed; the rest waits in the buffer.
    while (file->bufferCount + count >= kBBXFileBufferSize) {
        size_t take = kBBXFileBufferSize - 1 - file->bufferCount;
        std::memcpy(file->buffer + file->bufferCount, bytes, take);
        file->bufferCount += take;
        flushBuffer(file);
        bytes += take;
        count -= take;
    }
    if (count == 0) return;
    std::memcpy(file->buffer + file->bufferCount, bytes, count);
    file->bufferCount += count;
}

void putText(BBXFile* file, const char* text) { put(file, text, std::strlen(text)); }

void commaIfNeeded(BBXFile* file) {
    if (file->needsComma) put(file, ",", 1);
}

void open(BBXFile* file, char bracket) {
    commaIfNeeded(file);
    put(file, &bracket, 1);
    file->depth += 1;
    file->needsComma = 0;
}

void close(BBXFile* file, char bracket) {
    put(file, &bracket, 1);
    if (file->depth > 0) {
        file->needsComma = file->depth > 1;
        file->depth -= 1;
    }
}

// A quoted text, with the ":" of a key: short ones go out in one piece.
void putQuoted(BBXFile* file, const char* text, bool isKey) {
    size_t length = std::strlen(text);
    size_t limit = isKey ? 12 : 13;
    if (length < limit) {
        char piece[16];
        size_t n = 0;
        piece[n++] = '"';
        std::memcpy(piece + n, text, length);
        n += length;
        piece[n++] = '"';
        if (isKey) piece[n++] = ':';
        put(file, piece, n);
        return;
    }
    put(file, "\"", 1);
    put(file, text, length);
    put(file, isKey ? "\":" : "\"", isKey ? 2 : 1);
}

void putNumber(BBXFile* file, uint64_t value, unsigned base, bool negative) {
    char digits[kBBXNumberTextSize];
    size_t at = BBXNumberText(digits, value, base, negative);
    put(file, digits + at, sizeof digits - at);
}

void putSigned(BBXFile* file, int64_t value) { putNumber(file, BBXMagnitude(value), 10, value < 0); }

void putString(BBXFile* file, const char* value) {
    if (!value) put(file, "null", 4);
    else putQuoted(file, value, false);
}

// Hex digits in chunks of 16 bytes, between quotes.
void putHex(BBXFile* file, const char* value) {
    if (!value) {
        put(file, "null", 4);
        return;
    }
    static const char kDigits[] = "0123456789abcdef";
    put(file, "\"", 1);
    auto* bytes = reinterpret_cast<const unsigned char*>(value);
    size_t length = std::strlen(value);
    for (size_t start = 0; start < length; start += 16) {
        char chunk[32];
        size_t n = 0;
        for (size_t i = start; i < length && i < start + 16; ++i) {
            chunk[n++] = kDigits[bytes[i] >> 4];
            chunk[n++] = kDigits[bytes[i] & 0x0f];
        }
        put(file, chunk, n);
    }
    put(file, "\"", 1);
}

void afterValue(BBXFile* file) { file->needsComma = 1; }

}  // namespace

bool BBXFileInitWithPathMode(BBXFile* file, const char* path, bool append, bool buffered) {
    if (!file) {
        BBXSDKLog("%s: Error: file is null\n", __func__);
        return false;
    }
    *file = BBXFile{};
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
    int fd = path ? ::open(path, flags, 0644) : -1;
    if (fd < 0) {
        BBXSDKLog("%s: Error: Unable to open file %s\n", __func__, path);
        return false;
    }
    if (append) {
        struct stat status {};
        if (::fstat(fd, &status) != 0) {
            BBXSDKLog("%s: Error: file descriptor invalid\n", __func__);
            ::close(fd);
            return false;
        }
        file->writtenCount = static_cast<uint64_t>(status.st_size);
    }
    file->fd = fd;
    if (buffered) {
        file->buffer = static_cast<char*>(std::malloc(kBBXFileBufferSize));
        file->buffered = file->buffer != nullptr;
    }
    return true;
}

bool BBXFileInit(BBXFile* file, const char* path, bool buffered) {
    return BBXFileInitWithPathMode(file, path, true, buffered);
}

bool BBXFileCloseWithOffset(BBXFile* file, uint64_t* written) {
    if (!file) return false;
    BBXFileFlush(file);
    if (file->buffer) std::free(file->buffer);
    file->buffer = nullptr;
    if (written) *written = file->writtenCount;
    int fd = file->fd;
    *file = BBXFile{};
    if (fd >= 0 && ::close(fd) != 0) {
        BBXSDKLog("%s: Error: Unable to close file %s\n", __func__, static_cast<const char*>(nullptr));
        return false;
    }
    return true;
}

bool BBXFileClose(BBXFile* file) { return BBXFileCloseWithOffset(file, nullptr); }

bool BBXFileIsOpen(const BBXFile* file) { return file && file->fd >= 0; }

void BBXFileFlush(BBXFile* file) {
    if (file && file->fd >= 0) flushBuffer(file);
}

bool BBXFileWriteWholeSections(BBXFile* file, const std::function<void(BBXFile*)>& write) {
    if (!BBXFileIsOpen(file) || !write) return false;
    BBXFileFlush(file);
    std::string lines;
    BBXFile composing;
    composing.fd = file->fd;
    composing.depth = file->depth;
    composing.needsComma = file->needsComma;
    composing.composing = &lines;
    write(&composing);
    file->depth = composing.depth;
    file->needsComma = composing.needsComma;
    const char* bytes = lines.data();
    size_t left = lines.size();
    // Announced before the check, so a crash either sees this write under
    // way and waits for it, or this write sees the crash and stays out.
    int slot = claimWholeWriterSlot(crash::currentThreadID());
    if (gWholeWritesClosed.load()) {
        if (slot >= 0) gWholeWriters[slot].store(0);
        return false;
    }
    while (left > 0) {
        ssize_t written = writeBytes(file->fd, bytes, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) break;
        file->writtenCount += static_cast<uint64_t>(written);
        bytes += written;
        left -= static_cast<size_t>(written);
    }
    if (slot >= 0) gWholeWriters[slot].store(0);
    return left == 0;
}

bool BBXFileSettleWholeWrites(pid_t crashedThread, uint64_t timeoutNanoseconds) {
    gWholeWritesClosed.store(true);
    const pid_t self = crash::currentThreadID();
    timespec start{};
    syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &start);
    for (;;) {
        bool busy = false;
        for (const auto& writer : gWholeWriters) {
            pid_t thread = writer.load();
            if (thread != 0 && thread != self && thread != crashedThread) busy = true;
        }
        if (!busy) return true;
        timespec now{};
        syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &now);
        uint64_t waited = static_cast<uint64_t>(now.tv_sec - start.tv_sec) * 1000000000ULL +
                          static_cast<uint64_t>(now.tv_nsec) - static_cast<uint64_t>(start.tv_nsec);
        if (waited >= timeoutNanoseconds) return false;
        timespec pause{0, 1000000};
        syscall(SYS_nanosleep, &pause, nullptr);
    }
}

void BBXFileReopenWholeWritesForTesting() { gWholeWritesClosed.store(false); }

bool BBXFileTruncate(BBXFile* file, uint64_t writtenCount, int32_t depth, uint8_t needsComma) {
    if (!BBXFileIsOpen(file)) return false;
    file->bufferCount = 0;
    auto offset = static_cast<off_t>(writtenCount);
    // Both: an appending file writes at its end, any other at its offset.
    if (::ftruncate(file->fd, offset) != 0 || ::lseek(file->fd, offset, SEEK_SET) != offset) return false;
    file->writtenCount = writtenCount;
    file->depth = depth;
    file->needsComma = needsComma;
    return true;
}

void BBXFileOpenSection(BBXFile* file, const char* key) {
    if (!file) return;
    // A writer stopped inside the last section left its line open: end that
    // line, so this section and the ones after it parse.
    if (file->depth != 0) put(file, "\n", 1);
    file->depth = 0;
    file->needsComma = 0;
    open(file, '{');
    BBXFileWriteKey(file, key);
}

void BBXFileCloseSection(BBXFile* file) {
    if (!file) return;
    close(file, '}');
    put(file, "\n", 1);
}

void BBXFileBeginObject(BBXFile* file) {
    if (file) open(file, '{');
}

void BBXFileEndObject(BBXFile* file) {
    if (file) close(file, '}');
}

void BBXFileBeginArray(BBXFile* file) {
    if (file) open(file, '[');
}

void BBXFileEndArray(BBXFile* file) {
    if (file) close(file, ']');
}

void BBXFileWriteKey(BBXFile* file, const char* key) {
    if (!file) return;
    commaIfNeeded(file);
    putQuoted(file, key ? key : "", true);
    file->needsComma = 0;
}

void BBXFileWriteUnsignedEntry(BBXFile* file, const char* key, uint64_t value) {
    if (!file) return;
    BBXFileWriteKey(file, key);
    putNumber(file, value, 10, false);
    afterValue(file);
}

void BBXFileWriteSignedEntry(BBXFile* file, const char* key, int64_t value) {
    if (!file) return;
    BBXFileWriteKey(file, key);
    putSigned(file, value);
    afterValue(file);
}

void BBXFileWriteStringEntry(BBXFile* file, const char* key, const char* value) {
    if (!file) return;
    BBXFileWriteKey(file, key);
    putString(file, value);
    afterValue(file);
}

void BBXFileWriteNSStringEntry(BBXFile* file, const char* key, const std::optional<std::string>& value) {
    BBXFileWriteStringEntry(file, key, value ? value->c_str() : nullptr);
}

void BBXFileWriteNSStringEntryIfNotEmpty(BBXFile* file, const char* key, const std::optional<std::string>& value) {
    if (value && !value->empty()) BBXFileWriteStringEntry(file, key, value->c_str());
}

void BBXFileWriteHexEntry(BBXFile* file, const char* key, const char* value) {
    if (!file) return;
    BBXFileWriteKey(file, key);
    putHex(file, value);
    afterValue(file);
}

void BBXFileWriteBoolEntry(BBXFile* file, const char* key, bool value) {
    if (!file) return;
    BBXFileWriteKey(file, key);
    putText(file, value ? "true" : "false");
    afterValue(file);
}

void BBXFileWriteUnsignedElement(BBXFile* file, uint64_t value) {
    if (!file) return;
    commaIfNeeded(file);
    putNumber(file, value, 10, false);
    afterValue(file);
}

void BBXFileWriteStringElement(BBXFile* file, const char* value) {
    if (!file) return;
    commaIfNeeded(file);
    putString(file, value);
    afterValue(file);
}

void BBXFileWriteHexElement(BBXFile* file, const char* value) {
    if (!file) return;
    commaIfNeeded(file);
    putHex(file, value);
    afterValue(file);
}

void BBXFileSetWriteFunction(BBXFileWriteFunction function) { gWrite.store(function); }
