// Capture contexts of whole processes: the probe sets one up in a report
// folder, and the test reads what it left there.
#include <gtest/gtest.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "platform/foundation/PlistValue.h"
#include "sdk/blackbox/BBXFile.h"
#include "tests/sdk/blackbox/BlackboxTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempHome.h"

namespace {

using namespace std::chrono_literals;
using blackboxtest::buildIDOf;
using blackboxtest::fileContents;
using foundation::PlistValue;

std::vector<std::string> sectionKeys(const std::vector<PlistValue>& sections) {
    std::vector<std::string> keys;
    for (const auto& section : sections) keys.push_back(section.asDictionary()->begin()->first);
    return keys;
}

const PlistValue::Dictionary& body(const std::vector<PlistValue>& sections, size_t index) {
    return *sections.at(index).asDictionary()->begin()->second.asDictionary();
}

class BBXContextProbeTest : public ::testing::Test {
protected:
    std::string reportDir() const { return home_.root().string(); }
    std::optional<std::vector<PlistValue>> metadata() const {
        return BBXFileReadSections((reportDir() + "/metadata.bbxrecord").c_str(), false);
    }
    testsupport::TempHome home_;
};

TEST_F(BBXContextProbeTest, WritesFourMetadataSections) {
    auto probe = testsupport::ChildProcess::start({BBX_CRASH_PROBE, "core", "--report-dir", reportDir()});
    ASSERT_TRUE(probe);
    // A set-up within its wait is done when the call returns.
    EXPECT_TRUE(probe->waitForLine("initialized-on-return=1", 30s));
    EXPECT_TRUE(probe->waitForLine("initialized", 30s));
    EXPECT_EQ(probe->wait(30s), 0);

    auto sections = metadata();
    ASSERT_TRUE(sections);
    ASSERT_EQ(sectionKeys(*sections), (std::vector<std::string>{"identity", "host", "application", "executable"}));
    const auto& identity = body(*sections, 0);
    EXPECT_EQ(*identity.at("generator").asString(), "Blackbox Mac SDK/3.6.0");
    EXPECT_EQ(*identity.at("api_key").asString(), "probe-key");
    EXPECT_EQ(identity.at("session_id").asString()->size(), 32u);
    EXPECT_EQ(identity.at("beta_token").type(), PlistValue::Type::Null);
    EXPECT_GT(*identity.at("started_at").asInteger(), 1700000000);

    const auto& host = body(*sections, 1);
    EXPECT_EQ(*host.at("platform").asString(), "mac");
    EXPECT_EQ(*host.at("machine").asString(), "x86_64");
    EXPECT_FALSE(host.at("cpu").asString()->empty());
    EXPECT_FALSE(host.at("locale").asString()->empty());

    const auto& application = body(*sections, 2);
    EXPECT_EQ(application.at("extension_id").type(), PlistValue::Type::Null);

    const auto& executable = body(*sections, 3);
    std::string buildID = buildIDOf(BBX_CRASH_PROBE);
    ASSERT_GE(buildID.size(), 32u);
    EXPECT_EQ(*executable.at("uuid").asString(), buildID.substr(0, 32));
    EXPECT_EQ(*executable.at("architecture").asString(), "x86_64");
    EXPECT_GT(*executable.at("base").asInteger(), 4096);
    EXPECT_GT(*executable.at("size").asInteger(), 4096);
    EXPECT_EQ(*executable.at("encrypted").asBoolean(), false);
    EXPECT_EQ(*executable.at("minimum_sdk_version").asString(), "0.0.0");

    // The probe's reader prints the same four sections.
    auto read = testsupport::runCommand({BBX_CRASH_PROBE, "read", reportDir() + "/metadata.bbxrecord"}, 30s);
    EXPECT_EQ(read.status, 0);
    EXPECT_EQ(std::count(read.output.begin(), read.output.end(), '\n'), 4);
    EXPECT_EQ(read.output.find("{\"identity\":"), 0u);
}

TEST_F(BBXContextProbeTest, UnderADebuggerInstallsNoHandlersButWritesMetadata) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    std::string dir = reportDir();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        char go;
        close(ready[1]);
        if (read(ready[0], &go, 1) != 1) _exit(3);
        execl(BBX_CRASH_PROBE, BBX_CRASH_PROBE, "core", "--report-dir", dir.c_str(), static_cast<char*>(nullptr));
        _exit(4);
    }
    close(ready[0]);
    bool traced = ptrace(PTRACE_SEIZE, child, nullptr, nullptr) == 0;
    int seizeError = errno;
    (void)!write(ready[1], "g", 1);
    close(ready[1]);
    int status = 0;
    // A traced child stops at each signal it gets; pass each on.
    for (;;) {
        ASSERT_EQ(waitpid(child, &status, 0), child);
        if (!WIFSTOPPED(status)) break;
        int signal = WSTOPSIG(status);
        ptrace(PTRACE_CONT, child, nullptr, reinterpret_cast<void*>(static_cast<intptr_t>(signal == SIGTRAP ? 0 : signal)));
    }
    if (!traced) GTEST_SKIP() << "PTRACE_SEIZE refused: " << std::strerror(seizeError);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(fileContents(dir + "/sdk.log").find("BBXContextInitialize: Debugger present - not installing handlers\n"),
              std::string::npos);
    auto sections = metadata();
    ASSERT_TRUE(sections);
    EXPECT_EQ(sections->size(), 4u);
}

TEST_F(BBXContextProbeTest, ASlowSetUpIsLoggedAndFinishesLater) {
    auto probe = testsupport::ChildProcess::start(
        {BBX_CRASH_PROBE, "core", "--report-dir", reportDir(), "--slow-block", "7", "6"});
    ASSERT_TRUE(probe);
    EXPECT_TRUE(probe->waitForLine("returned", 30s));
    EXPECT_NE(fileContents(reportDir() + "/sdk.log").find("BBXContextInitialize: Error: Delayed initialization\n"),
              std::string::npos);
    EXPECT_FALSE(metadata());  // the metadata block is still held back
    EXPECT_TRUE(probe->waitForLine("initialized", 30s));
    EXPECT_EQ(probe->wait(30s), 0);
    auto sections = metadata();
    ASSERT_TRUE(sections);
    EXPECT_EQ(sections->size(), 4u);
}

}  // namespace
