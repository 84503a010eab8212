#include <gtest/gtest.h>

#include <atomic>
#include <fstream>

#include "platform/foundation/Paths.h"
#include "platform/net/URLError.h"
#include "sdk/beacon/BBXURLSession.h"
#include "tests/sdk/beacon/KitRequestFixture.h"
#include "tests/support/TempHome.h"

using namespace kittest;

namespace {

// A session delegate that writes down what it hears and where.
class RecordingSessionDelegate : public BBXURLSessionDelegate {
public:
    // Nullopt: never answers.
    std::optional<net::AuthChallengeDisposition> challengeAnswer = net::AuthChallengeDisposition::PerformDefaultHandling;

    void URLSessionDidReceiveChallenge(BBXURLSession&, const net::ServerTrustChallenge& challenge,
                                       ChallengeCompletionHandler completion) override {
        {
            std::lock_guard lock(mutex_);
            challenges_.push_back(challenge.host);
            onQueue_ = onQueue_ && dispatch::OperationQueue::current() == expectedQueue.get();
        }
        if (challengeAnswer) completion(*challengeAnswer);
    }
    void URLSessionDataTaskDidReceiveResponse(BBXURLSession&, BBXURLSessionDataTask&, const net::HTTPURLResponse& r,
                                              ResponseCompletionHandler) override {
        note("response " + std::to_string(r.statusCode()));
    }
    void URLSessionDataTaskDidReceiveData(BBXURLSession&, BBXURLSessionDataTask&, const foundation::Data& d) override {
        std::lock_guard lock(mutex_);
        body_ += d.toString();
        onQueue_ = onQueue_ && dispatch::OperationQueue::current() == expectedQueue.get();
    }
    void URLSessionDownloadTaskDidFinishDownloadingToURL(BBXURLSession&, BBXURLSessionDownloadTask&,
                                                         const std::filesystem::path& location) override {
        note(std::string("downloaded ") + (std::filesystem::exists(location) ? "present" : "missing"));
    }
    void URLSessionTaskDidCompleteWithError(BBXURLSession&, BBXURLSessionTask&,
                                            const std::optional<foundation::Error>& error) override {
        note("complete " + std::to_string(error ? error->code : 0));
    }

    std::vector<std::string> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    // The hosts of the trust questions asked.
    std::vector<std::string> challenges() const {
        std::lock_guard lock(mutex_);
        return challenges_;
    }
    std::string body() const {
        std::lock_guard lock(mutex_);
        return body_;
    }
    bool allOnItsQueue() const {
        std::lock_guard lock(mutex_);
        return onQueue_;
    }
    bool waitFor(const std::string& event, double seconds = 20) const {
        return eventually([&] {
            auto e = events();
            return std::find(e.begin(), e.end(), event) != e.end();
        }, seconds);
    }

    std::shared_ptr<dispatch::OperationQueue> expectedQueue;

private:
    void note(std::string event) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
        onQueue_ = onQueue_ && dispatch::OperationQueue::current() == expectedQueue.get();
    }

    mutable std::mutex mutex_;
    std::vector<std::string> events_;
    std::vector<std::string> challenges_;
    std::string body_;
    bool onQueue_ = true;
};

class BBXURLSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        server_ = secureServer();
        ASSERT_TRUE(server_);
        server_->route("/", Reply::text("hello"));
        delegate_->expectedQueue = queue_;
    }

    std::shared_ptr<BBXURLSession> makeSession(std::shared_ptr<BBXURLSessionConfiguration> configuration = nullptr) {
        if (!configuration) configuration = BBXURLSessionConfiguration::defaultSessionConfiguration();
        return BBXURLSession::sessionWithConfiguration(configuration, delegate_, queue_);
    }

    // Waits until every delegate call queued so far has run.
    void drainDelegateQueue() {
        auto op = queue_->addOperation([] {});
        ASSERT_TRUE(op->waitUntilFinished(20));
    }

    testsupport::TempHome home_;
    DefaultAnchors anchors_{{cert(pki().rootA())}};
    std::unique_ptr<LoopbackServer> server_;
    std::shared_ptr<dispatch::OperationQueue> queue_ = dispatch::OperationQueue::create("test.delegate", 1);
    std::shared_ptr<RecordingSessionDelegate> delegate_ = std::make_shared<RecordingSessionDelegate>();
};

}  // namespace

TEST_F(BBXURLSessionTest, OnlyTheOwnModeExists) {
    EXPECT_FALSE(BBXURLSession::NSURLSessionShouldBeUsed());
    EXPECT_FALSE(BBXURLSessionConfiguration::backgroundSessionConfigurationWithIdentifier("kit"));
    EXPECT_FALSE(BBXURLSessionConfiguration::backgroundSessionConfiguration("kit"));
    EXPECT_FALSE(BBXURLSession::sessionWithConfiguration(nullptr));
    ASSERT_TRUE(BBXURLSessionConfiguration::ephemeralSessionConfiguration());

    // A delegate without a queue gets a serial one named after the class.
    auto session = BBXURLSession::sessionWithConfiguration(BBXURLSessionConfiguration::defaultSessionConfiguration(),
                                                           delegate_, nullptr);
    ASSERT_TRUE(session->delegateQueue());
    EXPECT_EQ(session->delegateQueue()->maxConcurrentOperationCount(), 1);
    EXPECT_EQ(session->delegateQueue()->name().rfind("BBXURLSession 0x", 0), 0u) << session->delegateQueue()->name();
    EXPECT_FALSE(BBXURLSession::sessionWithConfiguration(BBXURLSessionConfiguration::defaultSessionConfiguration())
                     ->delegateQueue());

    auto configuration = BBXURLSessionConfiguration::defaultSessionConfiguration();
    configuration->setHTTPCookieAcceptPolicy(2);
    configuration->setSessionSendsLaunchEvents(true);
    configuration->setHTTPAdditionalHeaders({{"X-A", "1"}});
    EXPECT_FALSE(configuration->sessionSendsLaunchEvents());
    auto copy = configuration->copy();
    EXPECT_EQ(copy->HTTPAdditionalHeaders(), configuration->HTTPAdditionalHeaders());
    EXPECT_EQ(copy->HTTPCookieAcceptPolicy(), 0u);  // a copy carries the headers only
}

TEST_F(BBXURLSessionTest, ATaskWithAHandlerNeverReachesTheDelegate) {
    auto session = makeSession();
    DataCompletion done;
    auto task = session->dataTaskWithRequest(net::URLRequest(server_->url("/")), done.handler());
    ASSERT_TRUE(task);
    EXPECT_FALSE(task->invokesDelegate());
    task->resume();
    ASSERT_TRUE(done.wait());
    EXPECT_EQ(done.first().payload->toString(), "hello");
    EXPECT_EQ(done.first().response->statusCode(), 200);
    EXPECT_FALSE(done.first().error);
    EXPECT_EQ(task->response()->statusCode(), 200);
    EXPECT_TRUE(eventually([&] { return session->taskCount() == 0; }));
    drainDelegateQueue();
    EXPECT_TRUE(delegate_->events().empty());
    // Server trust is still the delegate's to judge.
    EXPECT_EQ(delegate_->challenges(), std::vector<std::string>{"127.0.0.1"});
    EXPECT_EQ(done.count(), 1u);
    session->invalidateAndCancel();
}

TEST_F(BBXURLSessionTest, ATaskWithoutAHandlerReportsToTheDelegateOnItsQueue) {
    auto session = makeSession();
    auto task = session->dataTaskWithRequest(net::URLRequest(server_->url("/")));
    EXPECT_TRUE(task->invokesDelegate());
    task->resume();
    ASSERT_TRUE(delegate_->waitFor("complete 0"));
    EXPECT_EQ(delegate_->events(), (std::vector<std::string>{"response 200", "complete 0"}));
    EXPECT_EQ(delegate_->body(), "hello");
    EXPECT_TRUE(delegate_->allOnItsQueue());
    EXPECT_TRUE(eventually([&] { return session->taskCount() == 0; }));
    session->invalidateAndCancel();
}

TEST_F(BBXURLSessionTest, ConfigurationHeadersAreAddedAtCreationCommaJoined) {
    auto configuration = BBXURLSessionConfiguration::defaultSessionConfiguration();
    configuration->setHTTPAdditionalHeaders({{"X-Kit", "config"}, {"X-Extra", "1"}});
    auto session = makeSession(configuration);
    configuration->setHTTPAdditionalHeaders({{"X-Late", "1"}});  // the session keeps its own copy
    net::URLRequest request(server_->url("/"));
    request.setValue("X-Kit", "request");
    DataCompletion done;
    auto task = session->dataTaskWithRequest(request, done.handler());
    EXPECT_EQ(task->originalRequest().valueForHTTPHeaderField("X-Kit"), "request, config");
    EXPECT_EQ(task->originalRequest().valueForHTTPHeaderField("X-Extra"), "1");
    EXPECT_FALSE(task->originalRequest().valueForHTTPHeaderField("X-Late"));
    EXPECT_FALSE(task->currentRequest());
    task->resume();
    ASSERT_TRUE(done.wait());
    auto seen = server_->requests().at(0);
    EXPECT_EQ(seen.header("X-Kit"), "request, config");
    EXPECT_EQ(seen.header("X-Extra"), "1");
    session->invalidateAndCancel();
}

TEST_F(BBXURLSessionTest, TheDownloadFileLastsOnlyForTheHandlerOrTheDelegate) {
    server_->route("/file", Reply::pattern(1 << 20));
    auto session = makeSession();
    FileCompletion done;
    std::string sha;
    auto task = session->downloadTaskWithRequest(net::URLRequest(server_->url("/file")),
                                                 [&, handler = done.handler()](const auto& location, const auto& r,
                                                                               const auto& e) {
                                                     if (location) sha = LoopbackServer::fileSha256(*location);
                                                     handler(location, r, e);
                                                 });
    EXPECT_EQ(task->targetURL().parent_path(), foundation::Paths::temporaryDirectory());
    task->resume();
    ASSERT_TRUE(done.wait());
    auto call = done.first();
    EXPECT_FALSE(call.error);
    EXPECT_TRUE(call.payloadExisted);
    EXPECT_EQ(sha, LoopbackServer::patternSha256(1 << 20));
    EXPECT_FALSE(std::filesystem::exists(task->targetURL()));
    drainDelegateQueue();
    EXPECT_TRUE(delegate_->events().empty());

    // Without a handler the delegate gets the file, which goes afterwards.
    auto unhandled = session->downloadTaskWithURL(server_->url("/file"));
    unhandled->resume();
    ASSERT_TRUE(delegate_->waitFor("complete 0"));
    EXPECT_EQ(delegate_->events(), (std::vector<std::string>{"response 200", "downloaded present", "complete 0"}));
    EXPECT_FALSE(std::filesystem::exists(unhandled->targetURL()));
    EXPECT_TRUE(delegate_->body().empty());  // a download's body goes to its file only
    session->invalidateAndCancel();
}

TEST_F(BBXURLSessionTest, ADownloadThatCannotBeWrittenFailsWithTheDownloadError) {
    // A file where the temporary folder belongs.
    auto folder = foundation::Paths::temporaryDirectory();
    std::filesystem::create_directories(folder.parent_path());
    std::filesystem::remove_all(folder);
    std::ofstream(folder) << "in the way";
    server_->route("/file", Reply::pattern(1000));
    auto session = makeSession();
    FileCompletion done;
    session->downloadTaskWithRequest(net::URLRequest(server_->url("/file")), done.handler())->resume();
    ASSERT_TRUE(done.wait());
    ASSERT_TRUE(done.first().error);
    EXPECT_EQ(done.first().error->domain, "BBXURLSessionDownloadTaskError");
    EXPECT_EQ(done.first().error->code, -1);
    session->invalidateAndCancel();
}

TEST_F(BBXURLSessionTest, AnUploadSendsItsFileAsItIsWhenRead) {
    auto file = home_.root() / "upload.bin";
    ASSERT_TRUE(LoopbackServer::writePatternFile(file, 1000));
    server_->route("/up", Reply::text("stored", 201));
    auto session = makeSession();
    DataCompletion done;
    auto task = session->uploadTaskWithRequest(
        [&] {
            net::URLRequest r(server_->url("/up"));
            r.setHTTPMethod("POST");
            r.setHTTPBody(std::string_view("replaced by the file"));
            return r;
        }(),
        file, done.handler());
    // The file changes after the task is made: the new content goes.
    ASSERT_TRUE(LoopbackServer::writePatternFile(file, 3 << 20));
    task->resume();
    ASSERT_TRUE(done.wait());
    EXPECT_EQ(done.outcome(), 201);
    auto seen = server_->requests().at(0);
    EXPECT_EQ(seen.bodyLength, uint64_t(3 << 20));
    EXPECT_EQ(seen.bodySha256, LoopbackServer::patternSha256(3 << 20));
    session->invalidateAndCancel();
}

TEST_F(BBXURLSessionTest, GetTasksReportsThreeEmptyLists) {
    auto session = makeSession();
    auto task = session->dataTaskWithRequest(net::URLRequest(server_->url("/")));
    std::atomic<int> calls{0};
    std::atomic<bool> empty{false}, onQueue{false};
    session->getTasksWithCompletionHandler([&](auto data, auto upload, auto download) {
        empty = data.empty() && upload.empty() && download.empty();
        onQueue = dispatch::OperationQueue::current() == queue_.get();
        ++calls;
    });
    ASSERT_TRUE(eventually([&] { return calls.load() == 1; }));
    EXPECT_TRUE(empty.load());
    EXPECT_TRUE(onQueue.load());
    // Without a delegate queue the handler still runs.
    auto bare = BBXURLSession::sessionWithConfiguration(BBXURLSessionConfiguration::defaultSessionConfiguration());
    bare->getTasksWithCompletionHandler([&](auto, auto, auto) { ++calls; });
    EXPECT_TRUE(eventually([&] { return calls.load() == 2; }));
    session->invalidateAndCancel();
}

// A cancelled task completes once, with -999, whenever it is cancelled.
TEST_F(BBXURLSessionTest, ACancelledTaskCompletesOnceAsCancelled) {
    Reply silent;
    silent.neverAnswer = true;
    server_->route("/silent", silent);
    auto session = makeSession();
    DataCompletion running, unstarted;
    auto task = session->dataTaskWithRequest(net::URLRequest(server_->url("/silent")), running.handler());
    task->resume();
    ASSERT_TRUE(server_->waitForRequests(1, 20));
    task->cancel();
    task->cancel();
    auto never = session->dataTaskWithRequest(net::URLRequest(server_->url("/silent")), unstarted.handler());
    never->cancel();
    never->resume();
    ASSERT_TRUE(running.wait());
    ASSERT_TRUE(unstarted.wait());
    EXPECT_EQ(running.outcome(), net::URLErrorCancelled);
    EXPECT_EQ(unstarted.outcome(), net::URLErrorCancelled);
    EXPECT_EQ(task->error()->code, net::URLErrorCancelled);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(running.count(), 1u);
    EXPECT_EQ(unstarted.count(), 1u);
    EXPECT_EQ(server_->requestCount(), 1u);
    EXPECT_TRUE(eventually([&] { return session->taskCount() == 0; }));
    session->invalidateAndCancel();
}

TEST_F(BBXURLSessionTest, AnInvalidatedSessionMakesNoTasksAndLetsGoOfItsDelegate) {
    Reply silent;
    silent.neverAnswer = true;
    server_->route("/silent", silent);
    auto session = makeSession();
    auto task = session->dataTaskWithRequest(net::URLRequest(server_->url("/silent")));
    task->resume();
    ASSERT_TRUE(server_->waitForRequests(1, 20));
    std::weak_ptr<RecordingSessionDelegate> weakDelegate = delegate_;
    session->invalidateAndCancel();
    EXPECT_FALSE(session->delegate());
    EXPECT_FALSE(session->dataTaskWithRequest(net::URLRequest(server_->url("/"))));
    EXPECT_FALSE(session->downloadTaskWithURL(server_->url("/")));
    EXPECT_TRUE(eventually([&] { return task->error().has_value(); }));
    EXPECT_EQ(task->error()->code, net::URLErrorCancelled);

    auto other = makeSession();
    other->finishTasksAndInvalidate();
    EXPECT_FALSE(other->delegate());
    EXPECT_FALSE(other->dataTaskWithRequest(net::URLRequest(server_->url("/"))));
}

// Every handshake's trust question reaches the delegate on its queue, tasks
// with handlers included, and its answer decides.
TEST_F(BBXURLSessionTest, TheDelegateDecidesServerTrust) {
    struct Row {
        const char* name;
        Leaf leaf;
        std::optional<net::AuthChallengeDisposition> answer;
        double timeout;
        int64_t outcome;
    };
    const Row rows[] = {
        {"accepted self-signed", Leaf::SelfSigned, net::AuthChallengeDisposition::UseCredential, 20, 200},
        {"refused good", Leaf::Good, net::AuthChallengeDisposition::CancelAuthenticationChallenge, 20,
         net::URLErrorCancelled},
        {"default handling, good", Leaf::Good, net::AuthChallengeDisposition::PerformDefaultHandling, 20, 200},
        {"default handling, other root", Leaf::OtherRoot, net::AuthChallengeDisposition::PerformDefaultHandling, 20,
         net::URLErrorServerCertificateUntrusted},
        {"never answered", Leaf::Good, std::nullopt, 3, net::URLErrorCancelled},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        auto server = secureServer(r.leaf);
        server->route("/", Reply::text("trusted"));
        delegate_ = std::make_shared<RecordingSessionDelegate>();
        delegate_->expectedQueue = queue_;
        delegate_->challengeAnswer = r.answer;
        auto session = makeSession();
        DataCompletion done;
        session->dataTaskWithRequest(net::URLRequest(server->url("/"), r.timeout), done.handler())->resume();
        ASSERT_TRUE(done.wait());
        EXPECT_EQ(done.outcome(), r.outcome);
        drainDelegateQueue();
        EXPECT_TRUE(delegate_->events().empty());
        EXPECT_EQ(delegate_->challenges(), std::vector<std::string>{"127.0.0.1"});
        EXPECT_TRUE(delegate_->allOnItsQueue());
        session->invalidateAndCancel();
    }
}

TEST_F(BBXURLSessionTest, AnHttpsRequestIsNeverRedirectedIntoTheClear) {
    LoopbackServer plain;
    ASSERT_TRUE(plain.start());
    plain.route("/", Reply::text("clear"));
    server_->route("/away", Reply::redirect(plain.url("/")));
    server_->route("/same", Reply::redirect(server_->url("/")));
    auto session = makeSession();
    DataCompletion away, same;
    auto task = session->dataTaskWithRequest(net::URLRequest(server_->url("/away")), away.handler());
    EXPECT_EQ(task->originalRequest().allowedSchemes(), std::vector<std::string>{"https"});
    task->resume();
    session->dataTaskWithRequest(net::URLRequest(server_->url("/same")), same.handler())->resume();
    ASSERT_TRUE(away.wait());
    ASSERT_TRUE(same.wait());
    EXPECT_EQ(away.outcome(), net::URLErrorUnsupportedURL);
    EXPECT_EQ(plain.requestCount(), 0u);
    EXPECT_EQ(same.outcome(), 200);
    // A plain request keeps both schemes.
    EXPECT_EQ(session->dataTaskWithRequest(net::URLRequest(plain.url("/")))->originalRequest().allowedSchemes(),
              (std::vector<std::string>{"http", "https"}));
    session->invalidateAndCancel();
}

TEST_F(BBXURLSessionTest, A200MiBDownloadCompletesToItsFile) {
    constexpr uint64_t kBytes = uint64_t(200) << 20;
    server_->route("/big", Reply::pattern(kBytes));
    auto session = makeSession();
    std::atomic<uint64_t> size{0};
    std::string sha;
    FileCompletion done;
    session
        ->downloadTaskWithRequest(net::URLRequest(server_->url("/big")),
                                  [&, handler = done.handler()](const auto& location, const auto& r, const auto& e) {
                                      if (location && !e) {
                                          size = std::filesystem::file_size(*location);
                                          sha = LoopbackServer::fileSha256(*location);
                                      }
                                      handler(location, r, e);
                                  })
        ->resume();
    ASSERT_TRUE(done.wait(120));
    EXPECT_FALSE(done.first().error);
    EXPECT_EQ(size.load(), kBytes);
    EXPECT_EQ(sha, LoopbackServer::patternSha256(kBytes));
    EXPECT_FALSE(std::filesystem::exists(*done.first().payload));
    session->invalidateAndCancel();
}
