#include <gtest/gtest.h>

#include <atomic>
#include <cmath>

#include "platform/net/URLError.h"
#include "sdk/beacon/BCNNetworkClient.h"
#include "sdk/beacon/BCNNetworkResponseHandler.h"
#include "tests/sdk/beacon/KitRequestFixture.h"
#include "tests/support/TempHome.h"

using namespace kittest;
using H = BCNNetworkResponseHandler;

namespace {

class BCNNetworkClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        anchors_ = std::make_unique<DefaultAnchors>(std::vector<net::Certificate>{cert(pki().rootA())});
        server_ = secureServer();
        ASSERT_TRUE(server_);
    }
    void TearDown() override {
        if (client_) client_->invalidateAndCancel();
    }

    std::shared_ptr<BCNNetworkClient> client() {
        if (!client_) {
            client_ = BCNNetworkClient::create();
            client_->setJitterSourceForTesting([] { return 1.0; });
        }
        return client_;
    }

    // Runs one chain on the virtual clock, advancing it to each wait as it is
    // scheduled; answers the waits in seconds.
    template <class C>
    std::vector<double> runChain(C& completion) {
        std::vector<double> waits;
        for (;;) {
            bool progressed = eventually([&] { return completion.count() > 0 || dispatch::Clock::nextDeadline(); });
            if (!progressed || completion.count() > 0) break;
            double wait = *dispatch::Clock::nextDeadline() - dispatch::Clock::now();
            waits.push_back(wait);
            dispatch::Clock::advance(wait);
        }
        EXPECT_TRUE(completion.wait());
        return waits;
    }

    testsupport::TempHome home_;
    std::unique_ptr<DefaultAnchors> anchors_;
    std::unique_ptr<LoopbackServer> server_;
    std::shared_ptr<BCNNetworkClient> client_;
};

Reply withHeader(Reply r, std::string name, std::string value) {
    r.headers.emplace_back(std::move(name), std::move(value));
    return r;
}

}  // namespace

TEST_F(BCNNetworkClientTest, ServerTroubleIsRetriedWithGrowingWaitsThenGivesUp) {
    VirtualClock clock;
    server_->route("/", Reply::text("busy", 503));
    DataCompletion done;
    client()->startDataTaskWithRequest(net::URLRequest(server_->url("/")), 4, done.handler());
    EXPECT_EQ(runChain(done), (std::vector<double>{2, 2, 4, 8}));
    EXPECT_EQ(done.count(), 1u);
    auto call = done.first();
    ASSERT_TRUE(call.error);
    EXPECT_EQ(call.error->domain, "BCNNetworkError");
    EXPECT_EQ(call.error->code, H::RetryLimitReached);
    EXPECT_FALSE(call.payload);
    EXPECT_FALSE(call.response);
    EXPECT_EQ(server_->requestCount(), 5u);
}

TEST_F(BCNNetworkClientTest, RateLimitWaitsGrowFromRetryAfterAndStayBounded) {
    VirtualClock clock;
    struct Row {
        const char* retryAfter;
        std::vector<double> waits;
    };
    const Row rows[] = {
        {"60", {60, 60, 3600}},
        {"3600", {3600, 3600, 3600}},  // a power of it would wait for months
        {"inf", {2, 2, 4}},
        {"nan", {2, 2, 4}},
        {"1e400", {2, 2, 4}},
        {"-5", {2, 2, 4}},
        {"abc", {2, 2, 4}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.retryAfter);
        server_->route("/", withHeader(Reply::text("slow down", 429), "Retry-After", r.retryAfter));
        DataCompletion done;
        client()->startDataTaskWithRequest(net::URLRequest(server_->url("/")), 3, done.handler());
        EXPECT_EQ(runChain(done), r.waits);
        EXPECT_EQ(done.outcome(), H::RetryLimitReached);
    }
}

TEST_F(BCNNetworkClientTest, LimitZeroGivesUpAtOnce) {
    VirtualClock clock;
    server_->route("/", Reply::text("busy", 503));
    DataCompletion done;
    client()->startDataTaskWithRequest(net::URLRequest(server_->url("/")), 0, done.handler());
    EXPECT_EQ(runChain(done), std::vector<double>{});
    EXPECT_EQ(done.outcome(), H::RetryLimitReached);
    EXPECT_EQ(server_->requestCount(), 1u);
    EXPECT_FALSE(dispatch::Clock::nextDeadline());
}

TEST_F(BCNNetworkClientTest, StatusesEndAsTheirClassSays) {
    struct Row {
        int status;
        int64_t outcome;
    };
    const Row rows[] = {{200, 200}, {203, H::FailedResponse}, {304, 304}, {404, H::ClientErrorResponse},
                        {429, H::RetryLimitReached}, {503, H::RetryLimitReached}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.status);
        server_->route("/", Reply::text(r.status == 304 ? "" : "body", r.status));
        DataCompletion done;
        client()->startDataTaskWithRequest(net::URLRequest(server_->url("/")), 0, done.handler());
        ASSERT_TRUE(done.wait());
        EXPECT_EQ(done.outcome(), r.outcome);
        if (r.status == 200) {
            EXPECT_EQ(done.first().payload->toString(), "body");
        }
    }
}

TEST_F(BCNNetworkClientTest, ASuccessOfTheWrongContentTypeFailsWithItsDetails) {
    server_->route("/", withHeader(Reply::text("<html>", 200, "text/html"), "x-request-id", "req-42"));
    server_->route("/json", Reply::text("{}", 200, "application/JSON; charset=UTF-8"));
    net::URLRequest request(server_->url("/"));
    request.setValue("Accept", "application/json");
    request.setValue("Accept-Charset", "utf-8");
    DataCompletion done;
    client()->startDataTaskWithRequest(request, done.handler());
    ASSERT_TRUE(done.wait());
    auto call = done.first();
    ASSERT_TRUE(call.error);
    EXPECT_EQ(call.error->code, H::FailedResponse);
    EXPECT_EQ(call.error->userInfo.at("type"), "1");
    EXPECT_EQ(call.error->userInfo.at("status_code"), "200");
    EXPECT_EQ(call.error->userInfo.at("request_id"), "req-42");
    EXPECT_EQ(call.error->userInfo.at("content_type"), "text/html");

    request.setURL(server_->url("/json"));
    DataCompletion json;
    client()->startDataTaskWithRequest(request, json.handler());
    ASSERT_TRUE(json.wait());
    EXPECT_EQ(json.outcome(), 200);
    EXPECT_EQ(json.first().payload->toString(), "{}");
}

// Over plain HTTP: a TLS handshake alone can take longer than 0.3 s on a
// loaded machine with a sanitizer build, and this is about silence.
TEST_F(BCNNetworkClientTest, ASilentServerIsRetriedAsATimeOut) {
    VirtualClock clock;
    LoopbackServer plain;
    ASSERT_TRUE(plain.start());
    Reply silent;
    silent.neverAnswer = true;
    plain.route("/", silent);
    net::URLRequest request(plain.url("/"), 0.3);
    DataCompletion done;
    client()->startDataTaskWithRequest(request, 1, done.handler());
    EXPECT_EQ(runChain(done), std::vector<double>{2});
    EXPECT_EQ(done.outcome(), H::RetryLimitReached);
    EXPECT_EQ(plain.requestCount(), 2u);
}

TEST_F(BCNNetworkClientTest, RefusedConnectionsAndCancellationsAreNotRetried) {
    VirtualClock clock;
    LoopbackServer gone;
    ASSERT_TRUE(gone.start());
    std::string url = gone.url("/");
    gone.stop();
    DataCompletion refused;
    client()->startDataTaskWithRequest(net::URLRequest(url), refused.handler());
    ASSERT_TRUE(refused.wait());
    EXPECT_EQ(refused.outcome(), net::URLErrorCannotConnectToHost);

    Reply silent;
    silent.neverAnswer = true;
    server_->route("/", silent);
    DataCompletion cancelled;
    client()->startDataTaskWithRequest(net::URLRequest(server_->url("/")), cancelled.handler());
    ASSERT_TRUE(server_->waitForRequests(1, 20));
    client()->invalidateAndCancel();
    ASSERT_TRUE(cancelled.wait());
    EXPECT_EQ(cancelled.outcome(), net::URLErrorCancelled);
    EXPECT_EQ(cancelled.first().error->domain, net::kURLErrorDomain);

    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(dispatch::Clock::nextDeadline());  // no repeat waits
    EXPECT_EQ(refused.count(), 1u);
    EXPECT_EQ(cancelled.count(), 1u);
    EXPECT_EQ(server_->requestCount(), 1u);
}

// Ending the session while a chain waits to repeat ends the chain once, with
// "no task", and the client is let go.
TEST_F(BCNNetworkClientTest, InvalidatingDuringAPendingRetryEndsTheChainAndFreesTheClient) {
    VirtualClock clock;
    server_->route("/", Reply::text("busy", 503));
    DataCompletion done;
    std::weak_ptr<BCNNetworkClient> weak;
    {
        auto c = BCNNetworkClient::create();
        weak = c;
        c->startDataTaskWithRequest(net::URLRequest(server_->url("/")), 4, done.handler());
        ASSERT_TRUE(eventually([] { return dispatch::Clock::nextDeadline().has_value(); }));
        c->invalidateAndCancel();
    }
    EXPECT_FALSE(weak.expired());  // the waiting repeat still holds it
    dispatch::Clock::advance(*dispatch::Clock::nextDeadline() - dispatch::Clock::now());
    ASSERT_TRUE(done.wait());
    EXPECT_EQ(done.outcome(), H::NoTask);
    EXPECT_TRUE(done.first().error->userInfo.empty());
    EXPECT_TRUE(eventually([&] { return weak.expired(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(done.count(), 1u);
    EXPECT_EQ(server_->requestCount(), 1u);
}

TEST_F(BCNNetworkClientTest, ADownloadIsRetriedAndItsFileLastsForTheHandler) {
    VirtualClock clock;
    std::atomic<int> seen{0};
    server_->route("/file", [&](const testsupport::RecordedRequest&) {
        return ++seen == 1 ? Reply::text("busy", 503) : Reply::pattern(300000);
    });
    FileCompletion done;
    client()->startDownloadTaskWithRequest(net::URLRequest(server_->url("/file")), done.handler());
    EXPECT_EQ(runChain(done), std::vector<double>{2});
    auto call = done.first();
    EXPECT_FALSE(call.error);
    ASSERT_TRUE(call.payload);
    EXPECT_TRUE(call.payloadExisted);
    EXPECT_FALSE(std::filesystem::exists(*call.payload));
    EXPECT_EQ(call.response->statusCode(), 200);
}

TEST_F(BCNNetworkClientTest, JitterDrawsLieWithinTheirBounds) {
    EXPECT_EQ(BCNNetworkClient::kJitterMin, 0.8999999761581421);
    EXPECT_EQ(BCNNetworkClient::kJitterMax, 1.100000023841858);
    auto c = BCNNetworkClient::create();
    double low = 2, high = 0;
    for (int i = 0; i < 10000; ++i) {
        double j = c->generateRandomJitter();
        ASSERT_GE(j, BCNNetworkClient::kJitterMin);
        ASSERT_LT(j, BCNNetworkClient::kJitterMax);
        low = std::min(low, j);
        high = std::max(high, j);
    }
    // Spread over the range, not stuck at one value.
    EXPECT_LT(low, 0.91);
    EXPECT_GT(high, 1.09);
    // With real jitter the first wait stays near 2 seconds.
    double wait = c->computeDelayForResponse(std::nullopt, 0);
    EXPECT_GE(wait, 2 * BCNNetworkClient::kJitterMin);
    EXPECT_LT(wait, 2 * BCNNetworkClient::kJitterMax);
    c->invalidateAndCancel();
}
