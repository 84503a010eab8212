#pragma once
// Facts about the host: OS version and build, model. Plain functions,
// reentrant, any thread. Each takes the host to ask, the running machine
// unless a test hands in facts read from a fixture root.

#include <cstdint>
#include <optional>
#include <string>

#include "sdk/beacon/HostFacts.h"

// The operating-system version. Where the host names none, the values the
// kits have always used for a failed query: 10.0.0.
beacon::OSVersion BCNHostGetOSVersion(const beacon::HostFacts& host = beacon::HostFacts::system());

// The version as one number, from the minor version of a 10.x release:
// 10.6 -> 1060, 10.7 -> 1070, 10.8 -> 1080, 10.9 -> 1090, 10.10 -> 101000,
// 10.11 -> 101100; anything later (minor above 11 or major above 10) ->
// 101100; anything before 10.6 -> 0. A Linux release such as Debian 12
// counts as later.
uint32_t BCNHostGetOSVersionNumber(const beacon::HostFacts& host = beacon::HostFacts::system());
uint32_t BCNHostOSVersionNumberFromVersion(const beacon::OSVersion& version);

// "major.minor.patch" of BCNHostGetOSVersion.
std::string BCNHostGetOSDisplayVersion(const beacon::HostFacts& host = beacon::HostFacts::system());

// The text of a named host fact as it fits a 128-byte buffer with its NUL:
// nullopt when unknown or 128 characters or longer.
std::optional<std::string> BCNHostGetSysctlString(const char* name,
                                                  const beacon::HostFacts& host = beacon::HostFacts::system());

// "kern.osversion": the build of the running OS (the kernel release on Linux).
std::optional<std::string> BCNHostGetOSBuildVersion(const beacon::HostFacts& host = beacon::HostFacts::system());

// "hw.model": the machine's model name; nullopt where the firmware gives none.
std::optional<std::string> BCNHostGetModel(const beacon::HostFacts& host = beacon::HostFacts::system());
