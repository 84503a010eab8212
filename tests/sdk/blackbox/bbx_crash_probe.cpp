// A child program for the capture core's tests.
//   bbx_crash_probe core --report-dir DIR [--scenario none] [--hold] [--slow-block N SECONDS]
//       sets up the capture context for a report in DIR (API key "probe-key",
//       a fresh session, the kit settings' defaults); prints "returned" once
//       BBXContextInitialize returns and "initialized" once the context is,
//       then exits 0 (with --hold, sleeps until killed). --slow-block holds
//       set-up block N back for SECONDS.
//   bbx_crash_probe read FILE
//       prints each section of a record file as one JSON line.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/foundation/JSON.h"
#include "sdk/blackbox/BBXContext.h"
#include "sdk/blackbox/BBXUtilities.h"

namespace {

int gSlowBlock = 0;
double gSlowSeconds = 0;

void slowBlock(int block) {
    if (block == gSlowBlock) std::this_thread::sleep_for(std::chrono::duration<double>(gSlowSeconds));
}

int usage() {
    std::fprintf(stderr,
                 "usage: bbx_crash_probe core --report-dir DIR [--scenario none] [--hold] [--slow-block N SECONDS]\n"
                 "       bbx_crash_probe read FILE\n");
    return 2;
}

int readFile(const char* path) {
    auto sections = BBXFileReadSections(path, false);
    if (!sections) return 1;
    for (const auto& section : *sections) {
        auto text = foundation::JSON::write(section);
        if (text) std::printf("%s\n", text.value().c_str());
    }
    return 0;
}

int core(int argc, char** argv) {
    std::string reportDir;
    std::string scenario = "none";
    bool hold = false;
    for (int i = 2; i < argc; ++i) {
        std::string argument = argv[i];
        if (argument == "--report-dir" && i + 1 < argc) reportDir = argv[++i];
        else if (argument == "--scenario" && i + 1 < argc) scenario = argv[++i];
        else if (argument == "--hold") hold = true;
        else if (argument == "--slow-block" && i + 2 < argc) {
            gSlowBlock = std::atoi(argv[++i]);
            gSlowSeconds = std::atof(argv[++i]);
        } else return usage();
    }
    if (reportDir.empty() || scenario != "none") return usage();
    if (gSlowBlock) BBXContextSetBlockHook(slowBlock);

    std::string sessionID = BBXLowercaseUUIDString();
    std::string installID = BBXLowercaseUUIDString();
    BBXContextInitData data;
    data.apiKey = "probe-key";
    data.reportPath = reportDir.c_str();
    data.sessionID = sessionID.c_str();
    data.installID = installID.c_str();
    // The kit settings' defaults.
    data.errorReportingEnabled = 1;
    data.customExceptionsEnabled = 1;
    data.maxCustomExceptions = 16;
    data.errorLogBufferSize = 65536;
    data.logBufferSize = 65536;
    data.maxCustomKeys = 16;
    BBXContextInitialize(&data);
    std::printf("returned\n");
    std::fflush(stdout);
    for (int i = 0; i < 3000 && !BBXContextIsInitialized(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!BBXContextIsInitialized()) return 1;
    std::printf("initialized\n");
    std::fflush(stdout);
    while (hold) pause();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "core") == 0) return core(argc, argv);
    if (argc == 3 && std::strcmp(argv[1], "read") == 0) return readFile(argv[2]);
    return usage();
}
