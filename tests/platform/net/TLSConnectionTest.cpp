#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/net/TrustStore.h"
#include "platform/net/URLConnection.h"
#include "platform/net/URLError.h"
#include "tests/platform/net/RecordingDelegate.h"
#include "tests/support/LoopbackServer.h"

using namespace net;
using nettest::RecordingDelegate;
using testsupport::LoopbackServer;
using testsupport::Reply;
using testsupport::TestCertificates;
using Leaf = TestCertificates::Leaf;

namespace {

Certificate cert(const testsupport::TestCertificate& c) { return *Certificate::fromDER(c.certificateDER); }
const TestCertificates& pki() { return TestCertificates::shared(); }

// Default trust means the given anchors for as long as it lives.
struct DefaultAnchors {
    explicit DefaultAnchors(std::vector<Certificate> anchors) { TrustStore::setDefaultAnchors(std::move(anchors)); }
    ~DefaultAnchors() { TrustStore::useSystemAnchors(); }
};

std::unique_ptr<LoopbackServer> secureServer(Leaf leaf) {
    auto server = std::make_unique<LoopbackServer>(LoopbackServer::Options{pki().identity(leaf)});
    EXPECT_TRUE(server->start());
    server->route("/", Reply::text("secure"));
    return server;
}

// A hook that pins these anchors, as certificate pinning does, and counts the
// challenges it saw.
struct Pinner {
    std::vector<Certificate> anchors;
    std::mutex mutex;
    std::vector<ServerTrustChallenge> challenges;

    ServerTrustHook hook() {
        return [this](const ServerTrustChallenge& challenge) {
            std::lock_guard lock(mutex);
            challenges.push_back(challenge);
            Trust trust = challenge.serverTrust;
            trust.setAnchorCertificates(anchors);
            trust.setAnchorCertificatesOnly(true);
            return trust.evaluate().trusted() ? AuthChallengeDisposition::UseCredential
                                              : AuthChallengeDisposition::CancelAuthenticationChallenge;
        };
    }
};

std::shared_ptr<RecordingDelegate> fetch(const std::string& url, ServerTrustHook hook = {}) {
    auto delegate = std::make_shared<RecordingDelegate>();
    auto connection = URLConnection::create(URLRequest(url, 5), delegate, dispatch::Queue::createSerial("test.tls"));
    if (hook) connection->setServerTrustHook(std::move(hook));
    connection->start();
    EXPECT_TRUE(delegate->waitUntilDone(20));
    return delegate;
}

int64_t outcome(const RecordingDelegate& d) { return d.error ? d.error->code : d.response->statusCode(); }

}  // namespace

TEST(TLSConnectionTest, DefaultTrustRefusesAnUnknownRootAsUntrusted) {
    auto server = secureServer(Leaf::Good);
    auto d = fetch(server->url("/"));
    ASSERT_TRUE(d->error);
    EXPECT_EQ(d->error->code, URLErrorServerCertificateUntrusted);
    EXPECT_EQ(d->kinds(), std::vector<std::string>{"fail"});
    EXPECT_EQ(server->requestCount(), 0u);  // nothing was sent to an untrusted server
}

TEST(TLSConnectionTest, DefaultTrustWithTheTestRootJudgesEachCertificate) {
    DefaultAnchors anchors({cert(pki().rootA())});
    struct Row {
        const char* name;
        Leaf leaf;
        int64_t outcome;
    };
    const Row rows[] = {
        {"good", Leaf::Good, 200},
        {"expired", Leaf::Expired, URLErrorServerCertificateHasBadDate},
        {"not yet valid", Leaf::NotYetValid, URLErrorServerCertificateNotYetValid},
        {"wrong host", Leaf::WrongHost, URLErrorServerCertificateUntrusted},
        {"self-signed", Leaf::SelfSigned, URLErrorServerCertificateUntrusted},
        {"other root", Leaf::OtherRoot, URLErrorServerCertificateUntrusted},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        auto server = secureServer(r.leaf);
        auto d = fetch(server->url("/"));
        EXPECT_EQ(outcome(*d), r.outcome);
        if (!d->error) {
            EXPECT_EQ(d->body, "secure");
        }
    }
}

TEST(TLSConnectionTest, PinningMatrix) {
    struct Row {
        const char* name;
        Leaf leaf;
        std::vector<Certificate> pins;
        int64_t outcome;
    };
    const Row rows[] = {
        {"pinned root", Leaf::Good, {cert(pki().rootA())}, 200},
        {"other root pinned", Leaf::Good, {cert(pki().rootB())}, URLErrorCancelled},
        {"nothing pinned", Leaf::Good, {}, URLErrorCancelled},
        {"pinned intermediate", Leaf::Good, {cert(pki().intermediateA())}, 200},
        {"expired under the pinned root", Leaf::Expired, {cert(pki().rootA())}, URLErrorCancelled},
        {"wrong host under the pinned root", Leaf::WrongHost, {cert(pki().rootA())}, URLErrorCancelled},
        {"root B pinned for root B", Leaf::OtherRoot, {cert(pki().rootB())}, 200},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        auto server = secureServer(r.leaf);
        Pinner pinner{r.pins, {}, {}};
        auto d = fetch(server->url("/"), pinner.hook());
        EXPECT_EQ(outcome(*d), r.outcome);
        ASSERT_EQ(pinner.challenges.size(), 1u);
        EXPECT_EQ(pinner.challenges[0].host, "127.0.0.1");
        EXPECT_EQ(pinner.challenges[0].port, server->port());
        EXPECT_EQ(pinner.challenges[0].serverTrust.certificates().front(), cert(pki().leaf(r.leaf)));
        EXPECT_EQ(server->requestCount(), r.outcome == 200 ? 1u : 0u);
    }
}

TEST(TLSConnectionTest, TheHooksDispositionDecides) {
    auto selfSigned = secureServer(Leaf::SelfSigned);
    auto good = secureServer(Leaf::Good);
    auto answer = [](AuthChallengeDisposition d) { return [d](const ServerTrustChallenge&) { return d; }; };

    // Accepting trusts even what default trust refuses.
    EXPECT_EQ(outcome(*fetch(selfSigned->url("/"), answer(AuthChallengeDisposition::UseCredential))), 200);
    // Default handling falls back to default trust, as without a hook.
    EXPECT_EQ(outcome(*fetch(good->url("/"), answer(AuthChallengeDisposition::PerformDefaultHandling))),
              URLErrorServerCertificateUntrusted);
    EXPECT_EQ(outcome(*fetch(good->url("/"), answer(AuthChallengeDisposition::RejectProtectionSpace))),
              URLErrorServerCertificateUntrusted);
    DefaultAnchors anchors({cert(pki().rootA())});
    EXPECT_EQ(outcome(*fetch(good->url("/"), answer(AuthChallengeDisposition::PerformDefaultHandling))), 200);
    // Refusing cancels even what default trust accepts.
    auto refused = fetch(good->url("/"), answer(AuthChallengeDisposition::CancelAuthenticationChallenge));
    EXPECT_EQ(outcome(*refused), URLErrorCancelled);
    EXPECT_EQ(refused->kinds(), std::vector<std::string>{"fail"});
}

TEST(TLSConnectionTest, EveryConnectionIsEvaluatedAgainWithoutSessionResumption) {
    auto server = secureServer(Leaf::Good);
    // Each hop closes its connection, so the next one needs a new handshake.
    Reply hop = Reply::redirect("/");
    hop.closeConnection = true;
    server->route("/hop", hop);

    // Without a hook the server's session is resumed on the second connection,
    // which shows the server offers resumption.
    {
        DefaultAnchors anchors({cert(pki().rootA())});
        EXPECT_EQ(outcome(*fetch(server->url("/hop"))), 200);
        auto seen = server->requests();
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_NE(seen[0].connection, seen[1].connection);
        EXPECT_TRUE(seen[1].tlsResumed);
    }

    Pinner pinner{{cert(pki().rootA())}, {}, {}};
    EXPECT_EQ(outcome(*fetch(server->url("/hop"), pinner.hook())), 200);
    EXPECT_EQ(outcome(*fetch(server->url("/"), pinner.hook())), 200);
    EXPECT_EQ(pinner.challenges.size(), 3u);
    auto seen = server->requests();
    ASSERT_EQ(seen.size(), 5u);
    for (size_t i = 2; i < seen.size(); ++i) EXPECT_FALSE(seen[i].tlsResumed) << i;
}

TEST(TLSConnectionTest, ARedirectToAnotherServerIsChallengedForThatServer) {
    auto first = secureServer(Leaf::Good);
    auto second = secureServer(Leaf::OtherRoot);
    first->route("/away", Reply::redirect(second->url("/")));

    Pinner onlyA{{cert(pki().rootA())}, {}, {}};
    EXPECT_EQ(outcome(*fetch(first->url("/away"), onlyA.hook())), URLErrorCancelled);
    ASSERT_EQ(onlyA.challenges.size(), 2u);
    EXPECT_EQ(onlyA.challenges[1].port, second->port());
    EXPECT_EQ(second->requestCount(), 0u);

    Pinner both{{cert(pki().rootA()), cert(pki().rootB())}, {}, {}};
    auto d = fetch(first->url("/away"), both.hook());
    EXPECT_EQ(outcome(*d), 200);
    EXPECT_EQ(d->response->url(), second->url("/"));
}

TEST(TLSConnectionTest, ASlowTrustAnswerHoldsUpNoOtherRequest) {
    auto server = secureServer(Leaf::SelfSigned);
    auto plain = std::make_unique<LoopbackServer>();
    ASSERT_TRUE(plain->start());
    plain->route("/", Reply::text("plain"));

    // The first request's hook answers only once the others have ended.
    std::mutex mutex;
    std::condition_variable changed;
    bool asked = false, released = false;
    auto slow = [&](const ServerTrustChallenge&) {
        std::unique_lock lock(mutex);
        asked = true;
        changed.notify_all();
        changed.wait_for(lock, std::chrono::seconds(20), [&] { return released; });
        return AuthChallengeDisposition::UseCredential;
    };
    auto slowDelegate = std::make_shared<RecordingDelegate>();
    auto slowConnection = URLConnection::create(URLRequest(server->url("/"), 30), slowDelegate,
                                                dispatch::Queue::createSerial("test.tls.slow"));
    slowConnection->setServerTrustHook(slow);
    slowConnection->start();
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return asked; }));
    }

    // Meanwhile a request without a hook and one with a quick hook both end.
    EXPECT_EQ(outcome(*fetch(plain->url("/"))), 200);
    auto accept = [](const ServerTrustChallenge&) { return AuthChallengeDisposition::UseCredential; };
    EXPECT_EQ(outcome(*fetch(server->url("/"), accept)), 200);
    EXPECT_FALSE(slowDelegate->waitUntilDone(0));

    {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }
    ASSERT_TRUE(slowDelegate->waitUntilDone(20));
    EXPECT_EQ(outcome(*slowDelegate), 200);
}
