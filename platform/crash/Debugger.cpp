#include "platform/crash/Debugger.h"

#include "platform/crash/ProcFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace crash {

namespace {

constexpr char kTracerField[] = "TracerPid:";

// The value of the TracerPid line in text: true for a number other than 0.
std::optional<bool> tracerIn(const char* text, size_t length) {
    const size_t fieldLength = sizeof kTracerField - 1;
    for (size_t i = 0; i + fieldLength <= length; ++i) {
        if ((i != 0 && text[i - 1] != '\n') || std::memcmp(text + i, kTracerField, fieldLength) != 0) continue;
        size_t j = i + fieldLength;
        while (j < length && (text[j] == ' ' || text[j] == '\t')) ++j;
        if (j == length || text[j] < '0' || text[j] > '9') return std::nullopt;
        bool nonZero = false;
        for (; j < length && text[j] >= '0' && text[j] <= '9'; ++j) nonZero = nonZero || text[j] != '0';
        return nonZero;
    }
    return std::nullopt;
}

}  // namespace

std::optional<bool> tracerAttached() {
    // The status file is under 2 KiB; the tracer line sits in its first half.
    char buffer[8192];
    long length = readProcFile("/proc/self/status", buffer, sizeof buffer);
    if (length < 0) return std::nullopt;
    return tracerIn(buffer, static_cast<size_t>(length));
}

}  // namespace crash
