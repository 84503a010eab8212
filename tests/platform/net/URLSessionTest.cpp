#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "platform/dispatch/Queue.h"
#include "platform/net/URLError.h"
#include "platform/net/URLSession.h"
#include "tests/support/LoopbackServer.h"

using namespace net;
using testsupport::LoopbackServer;
using testsupport::Reply;

namespace {

// Collects the outcomes of data tasks and where their handlers ran.
struct Outcomes {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<foundation::Result<DataResponse>> results;
    std::vector<std::string> labels;

    DataTaskHandler handler() {
        return [this](foundation::Result<DataResponse> result) {
            std::lock_guard lock(mutex);
            results.push_back(std::move(result));
            labels.push_back(dispatch::currentQueueLabel());
            changed.notify_all();
        };
    }
    bool waitFor(size_t count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return results.size() >= count; });
    }
};

class URLSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.start());
        server.route("/page", [](const testsupport::RecordedRequest& r) {
            return Reply::text("<title>Hi</title> " + r.header("X-App").value_or("-"));
        });
        server.route("/silent", [] { Reply r; r.neverAnswer = true; return r; }());
    }
    LoopbackServer server;
};

}  // namespace

TEST_F(URLSessionTest, TheSharedSessionsDataTaskDeliversTheBodyOnItsQueue) {
    Outcomes outcomes;
    auto task = URLSession::shared()->dataTask(server.url("/page"), outcomes.handler());
    EXPECT_EQ(task->state(), URLSessionDataTask::State::Suspended);
    task->resume();
    ASSERT_TRUE(outcomes.waitFor(1));
    ASSERT_TRUE(outcomes.results[0].ok());
    EXPECT_EQ(outcomes.results[0].value().response.statusCode(), 200);
    EXPECT_EQ(outcomes.results[0].value().text(), "<title>Hi</title> -");
    EXPECT_EQ(outcomes.labels[0], "net.URLSession.shared");
    EXPECT_EQ(task->state(), URLSessionDataTask::State::Completed);
}

TEST_F(URLSessionTest, AdditionalHeadersFillInWhatTheRequestLacks) {
    URLSession::Configuration configuration;
    configuration.additionalHeaders.set("X-App", "tavlo");
    auto session = URLSession::create(configuration, dispatch::Queue::createSerial("test.session"));
    Outcomes outcomes;
    session->dataTask(server.url("/page"), outcomes.handler())->resume();
    URLRequest own(server.url("/page"));
    own.setValue("x-app", "own");
    session->dataTask(own, outcomes.handler())->resume();
    ASSERT_TRUE(outcomes.waitFor(2));
    std::vector<std::string> bodies{outcomes.results[0].value().text(), outcomes.results[1].value().text()};
    std::sort(bodies.begin(), bodies.end());
    EXPECT_EQ(bodies, (std::vector<std::string>{"<title>Hi</title> own", "<title>Hi</title> tavlo"}));
    EXPECT_EQ(outcomes.labels[0], "test.session");
}

TEST_F(URLSessionTest, ACancelledTaskReportsCancelledOnce) {
    auto session = URLSession::create({});
    Outcomes outcomes;
    auto task = session->dataTask(server.url("/silent"), outcomes.handler());
    task->resume();
    ASSERT_TRUE(server.waitForRequests(1, 5));
    task->cancel();
    task->cancel();
    task->resume();
    ASSERT_TRUE(outcomes.waitFor(1));
    session->delegateQueue()->sync([] {});
    ASSERT_EQ(outcomes.results.size(), 1u);
    ASSERT_FALSE(outcomes.results[0].ok());
    EXPECT_TRUE(isURLError(outcomes.results[0].error(), URLErrorCancelled));
}

TEST_F(URLSessionTest, InvalidateAndCancelEndsRunningTasksAndRefusesNewOnes) {
    auto session = URLSession::create({});
    Outcomes outcomes;
    session->dataTask(server.url("/silent"), outcomes.handler())->resume();
    session->dataTask(server.url("/silent"), outcomes.handler())->resume();
    ASSERT_TRUE(server.waitForRequests(2, 5));
    session->invalidateAndCancel();
    session->dataTask(server.url("/page"), outcomes.handler())->resume();
    ASSERT_TRUE(outcomes.waitFor(3));
    for (auto& result : outcomes.results) {
        ASSERT_FALSE(result.ok());
        EXPECT_TRUE(isURLError(result.error(), URLErrorCancelled));
    }
    EXPECT_EQ(server.requestCount(), 2u);
}

TEST_F(URLSessionTest, ATaskKeepsToItsRequestsLimits) {
    server.route("/big", Reply::text(std::string(4096, 'x')));
    Outcomes outcomes;
    URLRequest request(server.url("/big"));
    request.setMaxBodyBytes(1024);
    URLSession::shared()->dataTask(request, outcomes.handler())->resume();
    ASSERT_TRUE(outcomes.waitFor(1));
    ASSERT_FALSE(outcomes.results[0].ok());
    EXPECT_TRUE(isURLError(outcomes.results[0].error(), URLErrorDataLengthExceedsMaximum));
}
