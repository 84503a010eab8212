#include "platform/crash/ProcessFacts.h"

#include "platform/crash/ProcFile.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

namespace crash {

namespace {

uint64_t number(const char*& at) {
    while (*at == ' ' || *at == '\t') ++at;
    uint64_t value = 0;
    for (; *at >= '0' && *at <= '9'; ++at) value = value * 10 + static_cast<uint64_t>(*at - '0');
    return value;
}

// The kB value of a "Name:   123 kB" line, in bytes; false when absent.
bool meminfoValue(const char* text, const char* name, uint64_t* bytes) {
    size_t nameLength = std::strlen(name);
    for (const char* line = text; *line;) {
        if (std::strncmp(line, name, nameLength) == 0 && line[nameLength] == ':') {
            const char* at = line + nameLength + 1;
            *bytes = number(at) * 1024;
            return true;
        }
        const char* next = std::strchr(line, '\n');
        if (!next) break;
        line = next + 1;
    }
    return false;
}

}  // namespace

bool hostMemory(HostMemory* memory) {
    if (!memory) return false;
    char text[8192];
    if (readProcFile("/proc/meminfo", text, sizeof text) <= 0) return false;
    return meminfoValue(text, "Active", &memory->active) && meminfoValue(text, "Inactive", &memory->inactive) &&
           meminfoValue(text, "Unevictable", &memory->wired) && meminfoValue(text, "MemFree", &memory->free);
}

bool processUsage(ProcessUsage* usage) {
    if (!usage) return false;
    char text[256];
    if (readProcFile("/proc/self/statm", text, sizeof text) <= 0) return false;
    const char* at = text;
    uint64_t pages = number(at);
    uint64_t resident = number(at);
    auto page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    usage->virtualSize = pages * page;
    usage->residentSize = resident * page;
    rusage times{};
    if (syscall(SYS_getrusage, RUSAGE_SELF, &times) != 0) return false;
    usage->userMicroseconds = static_cast<uint64_t>(times.ru_utime.tv_sec) * 1000000 +
                              static_cast<uint64_t>(times.ru_utime.tv_usec);
    usage->systemMicroseconds = static_cast<uint64_t>(times.ru_stime.tv_sec) * 1000000 +
                                static_cast<uint64_t>(times.ru_stime.tv_usec);
    return true;
}

bool storageOf(const char* path, Storage* storage) {
    if (!path || !storage) return false;
    struct statfs facts {};
    if (syscall(SYS_statfs, path, &facts) != 0) return false;
    storage->free = static_cast<uint64_t>(facts.f_bsize) * facts.f_bavail;
    storage->total = static_cast<uint64_t>(facts.f_bsize) * facts.f_blocks;
    return true;
}

}  // namespace crash
