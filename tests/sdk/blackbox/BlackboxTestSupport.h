#pragma once
// Helpers of the capture core's tests: crash children and the process's maps.

#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>
#include <thread>

#include "sdk/blackbox/BBXContext.h"
#include "sdk/blackbox/BBXFile.h"
#include "sdk/blackbox/BBXUserLogging.h"
#include "tests/support/ChildProcess.h"

namespace blackboxtest {

// Puts a signal back to its default action with the raw system call, past any
// sanitizer that keeps its own handler, so a forked child dies by the signal.
inline void resetSignalToDefault(int number) {
    struct {
        void* handler;
        unsigned long flags;
        void* restorer;
        uint64_t mask;
    } action{reinterpret_cast<void*>(SIG_DFL), 0, nullptr, 0};
    syscall(SYS_rt_sigaction, number, &action, nullptr, sizeof action.mask);
}

// Runs body in a forked child (SIGSEGV at its default action) and answers the
// signal that ended it, 0 when it exited.
inline int signalEndingChild(const std::function<void()>& body) {
    pid_t child = fork();
    if (child == 0) {
        resetSignalToDefault(SIGSEGV);
        body();
        _exit(0);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) return -1;
    return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

// The permissions column of /proc/self/maps ("rw-p", "---p") of the mapping
// holding address; empty when none does.
inline std::string permissionsAt(uintptr_t address) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        std::istringstream fields(line);
        std::string range, permissions;
        fields >> range >> permissions;
        auto dash = range.find('-');
        uintptr_t start = std::stoull(range.substr(0, dash), nullptr, 16);
        uintptr_t end = std::stoull(range.substr(dash + 1), nullptr, 16);
        if (address >= start && address < end) return permissions;
    }
    return {};
}

inline std::string fileContents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

// The GNU build-id of an ELF file as `readelf -n` prints it.
inline std::string buildIDOf(const std::string& file) {
    using namespace std::chrono_literals;
    auto result = testsupport::runCommand({"readelf", "-n", file}, 10s);
    std::smatch match;
    std::regex buildID("Build ID: ([0-9a-f]+)");
    return std::regex_search(result.output, match, buildID) ? match[1].str() : std::string();
}

// The bytes of hex-encoded text, as record files keep free text.
inline std::string unhex(const std::string& digits) {
    std::string bytes;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        bytes += static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
    return bytes;
}

// The bodies of a record file's sections named name, in file order.
inline std::vector<foundation::PlistValue> sectionBodies(const std::string& path, const char* name) {
    std::vector<foundation::PlistValue> found;
    if (auto sections = BBXFileReadSections(path.c_str(), false))
        for (const auto& section : *sections)
            if (const foundation::PlistValue* body = section.get(name)) found.push_back(*body);
    return found;
}

// The decoded keys of a key-value file, in file order.
inline std::vector<std::string> keysInKVFile(const std::string& path) {
    std::vector<std::string> keys;
    for (const auto& entry : BBXUserLoggingReadKVFile(path.c_str())) keys.push_back(unhex(*entry.get("key")->asString()));
    return keys;
}

// Sets up this process's capture context for a report in a new folder
// /tmp/<prefix>-XXXXXX (API key "test-key", session "session", the limits in
// data) and waits until it is initialised; answers the folder, empty when
// none could be made.
inline std::string startTestContext(const char* prefix, BBXContextInitData data) {
    std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
    if (!mkdtemp(pattern.data())) return {};
    data.apiKey = "test-key";
    data.reportPath = pattern.c_str();
    data.sessionID = "session";
    BBXContextInitialize(&data);
    for (int i = 0; i < 500 && !BBXContextIsInitialized(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return pattern;
}

// A metadata file as context set-up writes it: identity, host, application.
inline std::string metadataRecord(const std::string& session) {
    return "{\"identity\":{\"generator\":\"Blackbox Mac SDK/3.6.0\",\"api_key\":\"key-1\",\"started_at\":1700000000,"
           "\"session_id\":\"" + session + "\"}}\n"
           "{\"host\":{\"os_display_version\":\"12.0.0\",\"os_build_version\":\"bookworm\"}}\n"
           "{\"application\":{\"build_version\":\"421\",\"display_version\":\"1.4.2\"}}\n";
}

}  // namespace blackboxtest
