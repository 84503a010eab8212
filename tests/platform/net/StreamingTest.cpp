#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <thread>

#include "platform/dispatch/Queue.h"
#include "platform/net/Engine.h"
#include "platform/net/URLConnection.h"
#include "tests/platform/net/RecordingDelegate.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/TempHome.h"

using namespace net;
using nettest::RecordingDelegate;
using testsupport::LoopbackServer;
using testsupport::Reply;

namespace {

constexpr uint64_t kLargeBody = 200ull * 1024 * 1024;
constexpr long kMaxGrowthKiB = 32 * 1024;

long statusValue(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(key, 0) == 0) return std::stol(line.substr(std::strlen(key)));
    return -1;
}

// Starts a fresh peak: the kernel sets the high-water mark back to the
// current resident size.
long resetPeakKiB() {
    std::ofstream("/proc/self/clear_refs") << "5";
    return statusValue("VmHWM:");
}

class StreamingTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }

    std::shared_ptr<RecordingDelegate> run(const URLRequest& request, std::optional<std::filesystem::path> file = {}) {
        auto delegate = std::make_shared<RecordingDelegate>();
        auto connection = URLConnection::create(request, delegate, queue);
        if (file) connection->setDownloadFile(*file);
        connection->start();
        EXPECT_TRUE(delegate->waitUntilDone(120));
        return delegate;
    }

    testsupport::TempHome home;
    LoopbackServer server;
    std::shared_ptr<dispatch::Queue> queue = dispatch::Queue::createSerial("test.streaming");
};

}  // namespace

TEST_F(StreamingTest, A200MiBUploadFromAFileKeepsMemoryFlat) {
    auto file = home.root() / "upload.bin";
    ASSERT_TRUE(LoopbackServer::writePatternFile(file, kLargeBody));
    std::string expected = LoopbackServer::patternSha256(kLargeBody);
    server.route("/upload", Reply::text("stored"));
    URLRequest request(server.url("/upload"));
    request.setHTTPMethod("POST");
    request.setHTTPBodyFile(file);

    long before = resetPeakKiB();
    auto d = run(request);
    long growth = statusValue("VmHWM:") - before;

    ASSERT_FALSE(d->error) << d->error->description();
    EXPECT_LT(growth, kMaxGrowthKiB);
    auto seen = server.requests().at(0);
    EXPECT_EQ(seen.bodyLength, kLargeBody);
    EXPECT_EQ(seen.bodySha256, expected);
}

TEST_F(StreamingTest, A200MiBDownloadToAFileKeepsMemoryFlat) {
    server.route("/download", Reply::pattern(kLargeBody));
    auto file = home.root() / "download.bin";

    long before = resetPeakKiB();
    auto d = run(URLRequest(server.url("/download")), file);
    long growth = statusValue("VmHWM:") - before;

    ASSERT_FALSE(d->error) << d->error->description();
    EXPECT_LT(growth, kMaxGrowthKiB);
    EXPECT_EQ(std::filesystem::file_size(file), kLargeBody);
    EXPECT_EQ(LoopbackServer::fileSha256(file), LoopbackServer::patternSha256(kLargeBody));
}

TEST_F(StreamingTest, TwoHundredConcurrentRequestsShareOneNetworkThread) {
    constexpr int kRequests = 200;
    Reply slow = Reply::text("done");
    slow.delayBeforeHeaders = 0.5;  // keeps every request in flight at once
    server.route("/slow", slow);
    Engine::shared();
    long baseline = statusValue("Threads:");

    std::vector<std::shared_ptr<RecordingDelegate>> delegates;
    for (int i = 0; i < kRequests; ++i) {
        auto d = std::make_shared<RecordingDelegate>();
        URLConnection::create(URLRequest(server.url("/slow")), d, queue)->start();
        delegates.push_back(d);
    }
    // All in flight: our threads are the process's less the server's one per connection.
    ASSERT_TRUE(server.waitForRequests(kRequests, 30));
    long inFlight = statusValue("Threads:") - server.liveThreads() - baseline;
    int succeeded = 0;
    for (auto& d : delegates) {
        EXPECT_TRUE(d->waitUntilDone(60));
        succeeded += !d->error && d->body == "done";
    }
    server.stop();  // joins the server's threads, so the count below is ours alone
    long afterwards = statusValue("Threads:") - baseline;

    EXPECT_EQ(succeeded, kRequests);
    EXPECT_EQ(server.connectionCount(), kRequests);  // really concurrent, not one by one
    EXPECT_LT(inFlight, 16);
    EXPECT_LT(afterwards, 16);
}
