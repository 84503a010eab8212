#pragma once
// What the kits know of the host on Linux, read from the kernel's and the
// distribution's files below a root folder ("/" normally; tests hand in a
// fixture folder with their own etc/, proc/ and sys/). Stateless apart from the
// root; any thread.
//
// The kits ask for host facts by the names of the BSD sysctl table
// ("kern.osversion", "hw.model"); this class answers those names from Linux:
//   kern.osversion            proc/sys/kernel/osrelease (the kernel release)
//   hw.model                  sys/class/dmi/id/product_name, else the device-tree model
//   hw.machine                proc/sys/kernel/arch, else uname() for the real root
//   machdep.cpu.brand_string  the first "model name" of proc/cpuinfo
// Values come back without their trailing newline; a missing file is nullopt.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace beacon {

struct OSVersion {
    int64_t majorVersion = 0;
    int64_t minorVersion = 0;
    int64_t patchVersion = 0;

    bool operator==(const OSVersion&) const = default;
};

class HostFacts {
public:
    explicit HostFacts(std::filesystem::path root = "/");

    // The facts of the machine we run on.
    static const HostFacts& system();

    // The distribution's version: VERSION_ID of etc/os-release (or
    // usr/lib/os-release), refined by etc/debian_version when that names the
    // same major release ("12" and "12.11" give 12.11.0). Nullopt when neither
    // file gives a number (a rolling distribution has no VERSION_ID).
    std::optional<OSVersion> operatingSystemVersion() const;

    // The text value of a sysctl-style name (see the table above).
    std::optional<std::string> stringValue(const std::string& name) const;

    // The integer value of a sysctl-style name: "hw.pagesize" is the page size
    // of the running kernel, whatever the root.
    std::optional<int64_t> integerValue(const std::string& name) const;

    const std::filesystem::path& root() const { return root_; }

private:
    std::optional<std::string> readFile(const char* relativePath) const;
    bool isSystemRoot() const;

    std::filesystem::path root_;
};

}  // namespace beacon
