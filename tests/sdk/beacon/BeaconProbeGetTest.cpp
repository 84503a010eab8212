#include <gtest/gtest.h>

#include <fstream>

#include "tests/sdk/beacon/KitRequestFixture.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempHome.h"

using namespace kittest;

// The probe as a person would run it: one request, one line.
TEST(BeaconProbeGetTest, PrintsTheOutcomeOfOneRequest) {
    testsupport::TempHome home;
    auto server = secureServer();
    ASSERT_TRUE(server);
    server->route("/", Reply::text("hello"));
    server->route("/busy", Reply::text("busy", 503));
    auto rootA = (home.root() / "rootA.pem").string();
    auto rootB = (home.root() / "rootB.pem").string();
    std::ofstream(rootA) << pki().rootA().certificatePEM;
    std::ofstream(rootB) << pki().rootB().certificatePEM;

    struct Row {
        std::vector<std::string> arguments;
        std::string certFile;  // SSL_CERT_FILE: the default anchors ("" leaves the system's)
        std::string line;
    };
    const Row rows[] = {
        {{"/", "--pinned-anchors", rootA}, "", "status=200"},
        {{"/", "--pinned-anchors", rootB}, "", "error=NSURLErrorDomain -999"},
        {{"/", "--pinned-anchors", rootB, "--debug"}, rootA, "status=200"},
        {{"/"}, rootA, "status=200"},
        {{"/"}, "", "error=NSURLErrorDomain -1202"},
        {{"/busy", "--pinned-anchors", rootA, "--retry-limit", "0"}, "", "error=BCNNetworkError -6"},
    };
    for (const Row& r : rows) {
        std::vector<std::string> argv{BEACON_PROBE, "get", server->url(r.arguments[0])};
        argv.insert(argv.end(), r.arguments.begin() + 1, r.arguments.end());
        SCOPED_TRACE(r.line + " " + (r.arguments.size() > 1 ? r.arguments.back() : ""));
        auto result = testsupport::runCommand(argv, std::chrono::seconds(60), {{"SSL_CERT_FILE", r.certFile}});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.output, r.line + "\n");
    }
    auto usage = testsupport::runCommand({BEACON_PROBE, "get"}, std::chrono::seconds(60));
    EXPECT_EQ(usage.status, 2);
}
