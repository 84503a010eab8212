#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/net/Engine.h"
#include "platform/net/URLConnection.h"
#include "platform/net/URLError.h"
#include "tests/platform/net/RecordingDelegate.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/TempHome.h"

using namespace net;
using nettest::RecordingDelegate;
using testsupport::LoopbackServer;
using testsupport::Reply;

namespace {

double now() { return Engine::monotonicNow(); }

class URLConnectionTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }

    // Runs the request to its end with a fresh delegate on the test queue.
    std::shared_ptr<RecordingDelegate> run(const URLRequest& request,
                                           const std::function<void(URLConnection&)>& setup = {}) {
        auto delegate = std::make_shared<RecordingDelegate>();
        auto connection = URLConnection::create(request, delegate, queue);
        if (setup) setup(*connection);
        connection->start();
        EXPECT_TRUE(delegate->waitUntilDone(20));
        return delegate;
    }

    // Waits for the network thread to let go of every transfer.
    static bool engineIdle() {
        for (double end = now() + 5; now() < end; std::this_thread::sleep_for(std::chrono::milliseconds(5)))
            if (Engine::shared().activeCount() == 0) return true;
        return false;
    }

    testsupport::TempHome home;
    LoopbackServer server;
    std::shared_ptr<dispatch::Queue> queue = dispatch::Queue::createSerial("test.net.delegate");
};

const std::vector<std::string> kLoaded{"response", "data", "finish"};

}  // namespace

TEST_F(URLConnectionTest, GetReportsResponseDataAndFinishInOrderOnTheNamedQueue) {
    Reply reply = Reply::text("hello world");
    reply.headers.emplace_back("X-Request-Id", "abc");
    server.route("/hello", reply);
    URLRequest request(server.url("/hello?q=1"));
    request.setValue("X-Custom", "yes");
    auto d = run(request);
    EXPECT_EQ(d->kinds(), kLoaded);
    for (const std::string& label : d->labels()) EXPECT_EQ(label, "test.net.delegate");
    ASSERT_TRUE(d->response);
    EXPECT_EQ(d->response->statusCode(), 200);
    EXPECT_EQ(d->response->url(), server.url("/hello?q=1"));
    EXPECT_EQ(d->response->valueForHTTPHeaderField("x-request-id"), "abc");
    EXPECT_EQ(d->response->mimeType(), "text/plain");
    EXPECT_EQ(d->body, "hello world");
    auto seen = server.requests().at(0);
    EXPECT_EQ(seen.method, "GET");
    EXPECT_EQ(seen.target, "/hello?q=1");
    EXPECT_EQ(seen.header("x-custom"), "yes");
    EXPECT_EQ(seen.header("User-Agent"), Engine::defaultUserAgent());
    EXPECT_EQ(Engine::defaultUserAgent().rfind("Tavlo", 0), 0u);  // named after the bundle
}

TEST_F(URLConnectionTest, HeadReportsTheAnnouncedLengthWithoutABody) {
    server.route("/big", Reply::text(std::string(12345, 'x')));
    URLRequest request(server.url("/big"));
    request.setHTTPMethod("HEAD");
    auto d = run(request);
    EXPECT_EQ(d->kinds(), (std::vector<std::string>{"response", "finish"}));
    EXPECT_EQ(d->response->expectedContentLength(), 12345);
    EXPECT_EQ(server.requests().at(0).method, "HEAD");
}

TEST_F(URLConnectionTest, PostSendsTheBodyWithItsOwnLengthAndTheHeaders) {
    server.route("/post", Reply::text("created", 201));
    URLRequest request(server.url("/post"));
    request.setHTTPMethod("POST");
    request.setValue("Content-Type", "application/json");
    request.setValue("Content-Length", "999");  // not sent: the body says how long it is
    request.setHTTPBody(std::string_view("{\"a\":1}"));
    auto d = run(request);
    EXPECT_EQ(d->response->statusCode(), 201);
    auto seen = server.requests().at(0);
    EXPECT_EQ(seen.method, "POST");
    EXPECT_EQ(seen.body, "{\"a\":1}");
    EXPECT_EQ(seen.header("content-length"), "7");
    EXPECT_EQ(seen.header("content-type"), "application/json");
    EXPECT_FALSE(seen.header("Expect"));
}

TEST_F(URLConnectionTest, PostFromAFileStreamsTheFile) {
    const uint64_t size = 3 * 1024 * 1024 + 17;
    auto file = home.root() / "upload.bin";
    ASSERT_TRUE(LoopbackServer::writePatternFile(file, size));
    server.route("/upload", Reply::text("ok"));
    URLRequest request(server.url("/upload"));
    request.setHTTPMethod("PUT");
    request.setHTTPBodyFile(file);
    auto d = run(request);
    EXPECT_EQ(d->kinds(), kLoaded);
    auto seen = server.requests().at(0);
    EXPECT_EQ(seen.method, "PUT");
    EXPECT_EQ(seen.bodyLength, size);
    EXPECT_EQ(seen.bodySha256, LoopbackServer::patternSha256(size));
}

TEST_F(URLConnectionTest, GetToAFileWritesTheBodyThereInsteadOfData) {
    const uint64_t size = 5 * 1024 * 1024 + 3;
    server.route("/file", Reply::pattern(size));
    auto file = home.root() / "download.bin";
    auto d = run(URLRequest(server.url("/file")), [&](URLConnection& c) { c.setDownloadFile(file); });
    EXPECT_EQ(d->kinds(), (std::vector<std::string>{"response", "finish"}));
    EXPECT_EQ(std::filesystem::file_size(file), size);
    EXPECT_EQ(LoopbackServer::fileSha256(file), LoopbackServer::patternSha256(size));
    EXPECT_EQ(std::filesystem::status(file).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST_F(URLConnectionTest, FailuresCarryTheURLErrorCodes) {
    // A port that nothing listens on any more.
    LoopbackServer closed;
    ASSERT_TRUE(closed.start());
    std::string closedURL = closed.url("/");
    closed.stop();

    server.route("/silent", [] { Reply r; r.neverAnswer = true; return r; }());
    server.route("/cut", [] { Reply r = Reply::text(std::string(100000, 'c')); r.closeAfterBodyBytes = 1000; return r; }());
    server.route("/loop", Reply::redirect("/loop"));
    server.route("/big", Reply::text(std::string(1000, 'b')));
    server.route("/unsized", [] { Reply r; r.raw = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + std::string(1000, 'u'); return r; }());
    server.route("/garbage", [] { Reply r; r.raw = "garbage\r\n\r\n"; return r; }());
    server.route("/to-ftp", Reply::redirect("ftp://127.0.0.1/file"));
    server.route("/hop1", [] { Reply r = Reply::redirect("/hop2"); r.delayBeforeHeaders = 0.3; return r; }());
    server.route("/hop2", [] { Reply r = Reply::text("late"); r.delayBeforeHeaders = 0.3; return r; }());
    server.route("/heavy-redirect", [] { Reply r = Reply::redirect("/small"); r.body = std::string(1000, 'r'); return r; }());
    server.route("/small", Reply::text("small"));
    server.route("/hang-up", [] { Reply r; r.hangUp = true; return r; }());

    struct Row {
        const char* name;
        std::string url;
        std::function<void(URLRequest&)> adjust;
        int64_t code;
    };
    auto timeout = [](double s) { return [s](URLRequest& r) { r.setTimeoutInterval(s); }; };
    auto cap = [](uint64_t n) { return [n](URLRequest& r) { r.setMaxBodyBytes(n); }; };
    const Row rows[] = {
        {"closed port", closedURL, {}, URLErrorCannotConnectToHost},
        {"server never answers", server.url("/silent"), timeout(0.5), URLErrorTimedOut},
        {"closed mid-body", server.url("/cut"), {}, URLErrorNetworkConnectionLost},
        {"redirect loop", server.url("/loop"), {}, URLErrorHTTPTooManyRedirects},
        {"announced body over the cap", server.url("/big"), cap(100), URLErrorDataLengthExceedsMaximum},
        {"streamed body over the cap", server.url("/unsized"), cap(100), URLErrorDataLengthExceedsMaximum},
        {"redirect bodies count to the cap", server.url("/heavy-redirect"), cap(500), URLErrorDataLengthExceedsMaximum},
        {"time limit across redirects", server.url("/hop1"), [](URLRequest& r) { r.setResourceTimeout(0.45); }, URLErrorTimedOut},
        {"not HTTP", server.url("/garbage"), {}, URLErrorBadServerResponse},
        {"no answer at all", server.url("/hang-up"), {}, URLErrorNetworkConnectionLost},
        {"no host", "http://", {}, URLErrorBadURL},
        {"not a URL", "::nonsense", {}, URLErrorBadURL},
        {"other scheme", "ftp://127.0.0.1/file", {}, URLErrorUnsupportedURL},
        {"scheme not allowed", server.url("/big"), [](URLRequest& r) { r.setAllowedSchemes({"https"}); }, URLErrorUnsupportedURL},
        {"redirect to another scheme", server.url("/to-ftp"), {}, URLErrorUnsupportedURL},
        {"unknown host", "http://tavlo-test.invalid/", timeout(5), URLErrorCannotFindHost},
        {"missing body file", server.url("/big"), [&](URLRequest& r) { r.setHTTPMethod("POST"); r.setHTTPBodyFile(home.root() / "none"); }, URLErrorFileDoesNotExist},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        URLRequest request(r.url);
        if (r.adjust) r.adjust(request);
        double started = now();
        auto d = run(request);
        double took = now() - started;
        ASSERT_TRUE(d->error);
        EXPECT_EQ(d->error->domain, kURLErrorDomain);
        EXPECT_EQ(d->error->code, r.code) << d->error->description();
        EXPECT_EQ(d->kinds().back(), "fail");
        if (r.code == URLErrorTimedOut) {
            EXPECT_GE(took, 0.45);
            EXPECT_LT(took, 1.5);
        }
    }
    // The loop was followed 16 times before giving up.
    size_t loops = 0;
    for (const auto& seen : server.requests()) loops += seen.path == "/loop";
    EXPECT_EQ(loops, 17u);
}

TEST_F(URLConnectionTest, RedirectsFollowTheMethodRulesAndTheLimit) {
    server.route("/found", Reply::redirect("/target", 302));
    server.route("/temporary", Reply::redirect("/target", 307));
    server.route("/r1", Reply::redirect("/r2"));
    server.route("/r2", Reply::redirect(server.url("/target")));
    server.route("/target", [](const testsupport::RecordedRequest& r) { return Reply::text(r.method + ":" + r.body); });

    URLRequest post(server.url("/found"));
    post.setHTTPMethod("POST");
    post.setHTTPBody(std::string_view("payload"));
    auto d = run(post);
    EXPECT_EQ(d->kinds(), kLoaded);  // the redirect itself is not reported
    EXPECT_EQ(d->body, "GET:");
    EXPECT_EQ(d->response->url(), server.url("/target"));

    post.setURL(server.url("/temporary"));
    EXPECT_EQ(run(post)->body, "POST:payload");

    URLRequest two(server.url("/r1"));
    two.setMaxRedirects(2);
    EXPECT_EQ(run(two)->body, "GET:");
    two.setMaxRedirects(1);
    EXPECT_EQ(run(two)->error->code, URLErrorHTTPTooManyRedirects);
    two.setMaxRedirects(0);
    auto unfollowed = run(two);
    EXPECT_EQ(unfollowed->response->statusCode(), 302);
    EXPECT_EQ(unfollowed->response->valueForHTTPHeaderField("location"), "/r2");
}

TEST_F(URLConnectionTest, ARestrictedRequestIsNotRedirectedToAnotherScheme) {
    LoopbackServer tls({testsupport::TestCertificates::shared().identity(testsupport::TestCertificates::Leaf::Good)});
    ASSERT_TRUE(tls.start());
    server.route("/up", Reply::redirect(tls.url("/")));
    URLRequest request(server.url("/up"));
    request.setAllowedSchemes({"http"});
    auto d = run(request);
    ASSERT_TRUE(d->error);
    EXPECT_EQ(d->error->code, URLErrorUnsupportedURL);
    EXPECT_EQ(tls.connectionCount(), 0);
}

TEST_F(URLConnectionTest, CancelStopsEveryFurtherEvent) {
    // Cancelled while the server has not answered yet.
    server.route("/slow", [] { Reply r = Reply::text("late"); r.delayBeforeHeaders = 0.2; return r; }());
    auto waiting = std::make_shared<RecordingDelegate>();
    std::weak_ptr<RecordingDelegate> released = waiting;
    auto connection = URLConnection::create(URLRequest(server.url("/slow")), waiting, queue);
    connection->start();
    ASSERT_TRUE(server.waitForRequests(1, 5));
    connection->cancel();
    waiting.reset();
    EXPECT_TRUE(released.expired());  // the connection let go of its delegate at once

    // Cancelled from the response event of a large body.
    class CancelOnResponse : public RecordingDelegate {
    public:
        void connectionDidReceiveResponse(URLConnection& c, const HTTPURLResponse& r) override {
            RecordingDelegate::connectionDidReceiveResponse(c, r);
            c.cancel();
        }
    };
    server.route("/large", Reply::pattern(8 * 1024 * 1024));
    auto cancelling = std::make_shared<CancelOnResponse>();
    URLConnection::create(URLRequest(server.url("/large")), cancelling, queue)->start();

    ASSERT_TRUE(engineIdle());
    queue->sync([] {});
    EXPECT_EQ(cancelling->kinds(), std::vector<std::string>{"response"});
}

TEST_F(URLConnectionTest, ASlowDelegatePausesTheTransferWithoutTimingItOut) {
    const uint64_t size = 16 * 1024 * 1024;
    server.route("/stream", Reply::pattern(size));
    URLRequest request(server.url("/stream"), 0.3);
    // Hold the delegate queue for longer than the time-out while the body streams in.
    dispatch::Semaphore never(0);
    queue->async([&] { never.wait(1.0); });
    auto d = run(request);
    ASSERT_FALSE(d->error) << d->error->description();
    ASSERT_EQ(d->body.size(), size);
    EXPECT_EQ(LoopbackServer::sha256Hex(d->body.data(), d->body.size()), LoopbackServer::patternSha256(size));
}

TEST_F(URLConnectionTest, TheTimeOutCountsSilenceNotTheWholeRequest) {
    Reply drip = Reply::text("slowly");
    drip.dripInterval = 0.2;  // 1 s in all, never 0.5 s without a byte
    server.route("/drip", drip);
    auto d = run(URLRequest(server.url("/drip"), 0.5));
    ASSERT_FALSE(d->error) << d->error->description();
    EXPECT_EQ(d->body, "slowly");
}

TEST_F(URLConnectionTest, SynchronousSendReturnsAnswersAndTransportErrors) {
    server.route("/missing", Reply::text("nope", 404));
    server.route("/silent", [] { Reply r; r.neverAnswer = true; return r; }());

    foundation::Result<DataResponse> missing = URLConnection::sendSynchronousRequest(URLRequest(server.url("/missing")));
    ASSERT_TRUE(missing.ok());
    EXPECT_EQ(missing.value().response.statusCode(), 404);
    EXPECT_EQ(missing.value().text(), "nope");

    // From a worker thread, as the callers do; the wait is bounded by the time-out.
    std::optional<foundation::Error> error;
    double took = 0;
    dispatch::Queue::global()->sync([&] {
        double started = now();
        auto result = URLConnection::sendSynchronousRequest(URLRequest(server.url("/silent"), 0.5));
        took = now() - started;
        if (!result.ok()) error = result.error();
    });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, URLErrorTimedOut);
    EXPECT_LT(took, 1.5);
}

TEST_F(URLConnectionTest, AsynchronousSendHandsTheAnswerToTheNamedQueue) {
    server.route("/hello", Reply::text("hello"));
    server.route("/silent", [] { Reply r; r.neverAnswer = true; return r; }());
    struct Answer {
        std::string queue;
        foundation::Result<DataResponse> result = foundation::Error("test", 0, "no answer");
    };
    auto send = [&](const URLRequest& request) {
        Answer answer;
        dispatch::Semaphore done(0);
        URLConnection::sendAsynchronousRequest(request, queue, [&](foundation::Result<DataResponse> result) {
            answer = {dispatch::currentQueueLabel(), std::move(result)};
            done.signal();
        });
        EXPECT_TRUE(done.wait(20));
        return answer;
    };
    Answer hello = send(URLRequest(server.url("/hello")));
    EXPECT_EQ(hello.queue, "test.net.delegate");
    ASSERT_TRUE(hello.result.ok());
    EXPECT_EQ(hello.result.value().text(), "hello");
    Answer silent = send(URLRequest(server.url("/silent"), 0.5));
    ASSERT_FALSE(silent.result.ok());
    EXPECT_EQ(silent.result.error().code, URLErrorTimedOut);
}

TEST_F(URLConnectionTest, ASynchronousSendAbandonedAtExitReturnsAnError) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a child with its own network thread
    server.route("/silent", [] { Reply r; r.neverAnswer = true; return r; }());
    std::string url = server.url("/silent");
    EXPECT_EXIT(
        {
            auto cancelled = [](const foundation::Result<DataResponse>& r) {
                return !r.ok() && r.error().code == URLErrorCancelled;
            };
            std::optional<foundation::Result<DataResponse>> waiting;
            std::thread worker([&] { waiting = URLConnection::sendSynchronousRequest(URLRequest(url, 60)); });
            while (Engine::shared().activeCount() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            Engine::shared().shutdown();  // as at exit
            worker.join();
            bool later = cancelled(URLConnection::sendSynchronousRequest(URLRequest(url, 60)));
            std::_Exit(waiting && cancelled(*waiting) && later ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}
