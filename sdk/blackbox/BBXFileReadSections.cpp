// The reader half of record files (BBXFile.h): runs at the next launch.
#include <unistd.h>

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/foundation/JSON.h"
#include "sdk/beacon/BCNHex.h"
#include "sdk/blackbox/BBXFile.h"
#include "sdk/blackbox/BBXSDKLog.h"

namespace {

bool readWholeFile(const char* path, std::string& bytes) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char chunk[65536];
    bool ok = true;
    for (;;) {
        ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) ok = false;
        if (got <= 0) break;
        bytes.append(chunk, static_cast<size_t>(got));
    }
    ::close(fd);
    return ok;
}

}  // namespace

std::optional<std::vector<foundation::PlistValue>> BBXFileReadSections(const char* path, bool deleteOnFailure,
                                                                      const BBXSectionTransform& transform) {
    if (reinterpret_cast<uintptr_t>(path) < 4096) {
        BBXSDKLog("%s: Error: input path is invalid\n", __func__);
        return std::nullopt;
    }
    std::string bytes;
    if (!readWholeFile(path, bytes)) {
        BBXSDKLog("%s: Unable to read file %s\n", __func__, path);
        if (deleteOnFailure) std::remove(path);
        return std::nullopt;
    }
    // Split the bytes before decoding anything: one bad byte (a name cut in
    // the middle of a character, a path that is no UTF-8) then costs its own
    // line, not the file.
    std::vector<foundation::PlistValue> sections;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos) end = bytes.size();
        std::string_view line(bytes.data() + start, end - start);
        start = end + 1;
        auto parsed = foundation::JSON::read(line);
        if (!parsed) continue;
        if (!transform) {
            sections.push_back(std::move(parsed).value());
            continue;
        }
        if (auto replaced = transform(parsed.value())) sections.push_back(std::move(*replaced));
    }
    return sections;
}

std::string BBXHexEncodeCString(const char* cString) {
    if (!cString) return {};
    return BCNHexStringFromBytes(cString, std::strlen(cString));
}
