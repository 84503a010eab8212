#include "sdk/beacon/HostFacts.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <string_view>
#include <vector>

namespace beacon {

namespace {

// Host files are small; anything longer is not a fact we want and must not
// make us read without end (a fixture could point at /dev/zero).
constexpr size_t kMaxFileBytes = 64 * 1024;

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (std::isspace(static_cast<unsigned char>(text.back())) || text.back() == '\0'))
        text.remove_suffix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
    return text;
}

// "12", "22.04", "12.11.1": up to three dot-separated numbers. Needs at least
// a major number; stops at the first part that is not a number.
std::optional<OSVersion> parseVersion(std::string_view text) {
    text = trimmed(text);
    int64_t parts[3] = {0, 0, 0};
    int count = 0;
    while (count < 3 && !text.empty()) {
        int64_t value = 0;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec != std::errc() || value < 0) break;
        parts[count++] = value;
        text.remove_prefix(static_cast<size_t>(end - text.data()));
        if (text.empty() || text.front() != '.') break;
        text.remove_prefix(1);
    }
    if (count == 0) return std::nullopt;
    return OSVersion{parts[0], parts[1], parts[2]};
}

// The value of KEY in an os-release file: KEY=value, KEY="value" or KEY='value'.
std::optional<std::string> osReleaseValue(std::string_view contents, std::string_view key) {
    while (!contents.empty()) {
        size_t newline = contents.find('\n');
        std::string_view line = trimmed(contents.substr(0, newline));
        contents.remove_prefix(newline == std::string_view::npos ? contents.size() : newline + 1);
        if (line.size() <= key.size() || line.substr(0, key.size()) != key || line[key.size()] != '=') continue;
        std::string_view value = line.substr(key.size() + 1);
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        return std::string(value);
    }
    return std::nullopt;
}

std::optional<std::string> cpuModelName(std::string_view cpuinfo) {
    while (!cpuinfo.empty()) {
        size_t newline = cpuinfo.find('\n');
        std::string_view line = cpuinfo.substr(0, newline);
        cpuinfo.remove_prefix(newline == std::string_view::npos ? cpuinfo.size() : newline + 1);
        size_t colon = line.find(':');
        if (colon == std::string_view::npos || trimmed(line.substr(0, colon)) != "model name") continue;
        return std::string(trimmed(line.substr(colon + 1)));
    }
    return std::nullopt;
}

}  // namespace

HostFacts::HostFacts(std::filesystem::path root) : root_(std::move(root)) {}

const HostFacts& HostFacts::system() {
    // Never destroyed: a settings download still running when the program exits
    // reads these facts after static destructors have run.
    static const HostFacts* facts = new HostFacts("/");
    return *facts;
}

std::optional<OSVersion> HostFacts::operatingSystemVersion() const {
    std::optional<OSVersion> version;
    std::optional<std::string> osRelease = readFile("etc/os-release");
    if (!osRelease) osRelease = readFile("usr/lib/os-release");
    if (osRelease) {
        if (std::optional<std::string> id = osReleaseValue(*osRelease, "VERSION_ID")) version = parseVersion(*id);
    }
    // Debian's os-release names only the major release; debian_version has the
    // point release. Testing and unstable write a codename there, which is
    // not a number and is left alone.
    if (std::optional<std::string> debian = readFile("etc/debian_version")) {
        std::optional<OSVersion> point = parseVersion(*debian);
        if (point && (!version || version->majorVersion == point->majorVersion)) version = point;
    }
    return version;
}

std::optional<std::string> HostFacts::stringValue(const std::string& name) const {
    if (name == "kern.osversion") return readFile("proc/sys/kernel/osrelease");
    if (name == "hw.model") {
        if (auto model = readFile("sys/class/dmi/id/product_name")) return model;
        return readFile("sys/firmware/devicetree/base/model");
    }
    if (name == "hw.machine") {
        if (auto machine = readFile("proc/sys/kernel/arch")) return machine;
        struct utsname names {};
        if (isSystemRoot() && ::uname(&names) == 0) return std::string(names.machine);
        return std::nullopt;
    }
    if (name == "machdep.cpu.brand_string") {
        if (auto cpuinfo = readFile("proc/cpuinfo")) return cpuModelName(*cpuinfo);
        return std::nullopt;
    }
    return std::nullopt;
}

std::optional<int64_t> HostFacts::integerValue(const std::string& name) const {
    if (name == "hw.pagesize") {
        long size = ::sysconf(_SC_PAGESIZE);
        if (size > 0) return size;
    }
    return std::nullopt;
}

std::optional<std::string> HostFacts::readFile(const char* relativePath) const {
    std::filesystem::path path = root_ / relativePath;
    // Non-blocking, and only regular files, so a FIFO or device planted in a
    // fixture (or a strange /sys) never stalls the caller. sysfs and procfs
    // files report as regular files.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    std::string contents;
    char buffer[4096];
    while (contents.size() < kMaxFileBytes) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        contents.append(buffer, static_cast<size_t>(got));
    }
    ::close(fd);
    if (contents.size() > kMaxFileBytes) contents.resize(kMaxFileBytes);
    // Kernel files end in a newline and device-tree strings in a NUL; neither
    // is part of the value.
    while (!contents.empty() && (contents.back() == '\n' || contents.back() == '\0')) contents.pop_back();
    return contents;
}

bool HostFacts::isSystemRoot() const {
    return root_ == "/";
}

}  // namespace beacon
