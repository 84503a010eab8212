#include <gtest/gtest.h>

#include <thread>

#include "platform/net/URLError.h"
#include "sdk/beacon/BCNCertificatePinner.h"
#include "sdk/beacon/BCNNetworkClient.h"
#include "sdk/beacon/BCNPinnedCertificates.h"
#include "sdk/beacon/Beacon.h"
#include "tests/sdk/beacon/BCNPinnedCertificatesReplacement.h"
#include "tests/sdk/beacon/KitRequestFixture.h"
#include "tests/support/TempHome.h"

using namespace kittest;

namespace {

struct Result {
    int64_t outcome;
    size_t handlerCalls;
    size_t requests;
    bool repeatPending;
};

// One GET through a client with these pins (none: no pinner) to a server
// presenting leaf, on the virtual clock so that a repeat would show as a wait.
Result fetch(Leaf leaf, std::optional<std::vector<net::Certificate>> pins) {
    VirtualClock clock;
    auto server = secureServer(leaf);
    server->route("/", Reply::text("pinned"));
    auto client = BCNNetworkClient::create(nullptr, std::move(pins));
    DataCompletion done;
    client->startDataTaskWithRequest(net::URLRequest(server->url("/"), 10), done.handler());
    EXPECT_TRUE(done.wait());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Result r{done.outcome(), done.count(), server->requestCount(), dispatch::Clock::nextDeadline().has_value()};
    client->invalidateAndCancel();
    return r;
}

}  // namespace

TEST(BCNCertificatePinnerTest, OnlyServersChainingToAPinAreTrusted) {
    testsupport::TempHome home;
    struct Row {
        const char* name;
        Leaf leaf;
        std::vector<net::Certificate> pins;
        int64_t outcome;
    };
    const Row rows[] = {
        {"root A pinned", Leaf::Good, {cert(pki().rootA())}, 200},
        {"root B pinned", Leaf::Good, {cert(pki().rootB())}, net::URLErrorCancelled},
        {"nothing pinned", Leaf::Good, {}, net::URLErrorCancelled},
        {"the intermediate pinned", Leaf::Good, {cert(pki().intermediateA())}, 200},
        {"expired leaf", Leaf::Expired, {cert(pki().rootA())}, net::URLErrorCancelled},
        {"wrong host", Leaf::WrongHost, {cert(pki().rootA())}, net::URLErrorCancelled},
        {"self-signed", Leaf::SelfSigned, {cert(pki().rootA())}, net::URLErrorCancelled},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        Result result = fetch(r.leaf, r.pins);
        EXPECT_EQ(result.outcome, r.outcome);
        EXPECT_EQ(result.handlerCalls, 1u);
        EXPECT_FALSE(result.repeatPending);  // a refused certificate is never retried
        EXPECT_EQ(result.requests, r.outcome == 200 ? 1u : 0u);
    }
}

TEST(BCNCertificatePinnerTest, DebugAndNoPinnerLeaveTrustToTheDefaultAnchors) {
    testsupport::TempHome home;
    // Without a pinner the default anchors decide: the system's know no test root.
    EXPECT_EQ(fetch(Leaf::Good, std::nullopt).outcome, net::URLErrorServerCertificateUntrusted);
    DefaultAnchors anchors({cert(pki().rootA())});
    EXPECT_EQ(fetch(Leaf::Good, std::nullopt).outcome, 200);
    EXPECT_EQ(fetch(Leaf::Expired, std::nullopt).outcome, net::URLErrorServerCertificateHasBadDate);

    // In debug mode pins give way to what default trust accepts.
    Beacon::sharedSDK()->setDebug(true);
    EXPECT_EQ(fetch(Leaf::Good, std::vector<net::Certificate>{cert(pki().rootB())}).outcome, 200);
    EXPECT_EQ(fetch(Leaf::OtherRoot, std::vector<net::Certificate>{cert(pki().rootB())}).outcome,
              net::URLErrorServerCertificateUntrusted);
    Beacon::sharedSDK()->setDebug(false);
    EXPECT_EQ(fetch(Leaf::Good, std::vector<net::Certificate>{cert(pki().rootB())}).outcome, net::URLErrorCancelled);
}

TEST(BCNCertificatePinnerTest, AChallengeWithoutServerTrustOrPinsIsCancelled) {
    BCNCertificatePinner none({});
    net::TrustResultType result = net::TrustResultType::Proceed;
    net::Trust trust({cert(pki().leaf(Leaf::Good)), cert(pki().intermediateA())}, "127.0.0.1");
    EXPECT_EQ(none.evaluateTrust(trust, result), 0);
    EXPECT_EQ(result, net::TrustResultType::Invalid);

    BCNCertificatePinner pinner({cert(pki().rootA())});
    EXPECT_EQ(pinner.evaluateTrust(trust, result), 0);
    EXPECT_TRUE(result == net::TrustResultType::Proceed || result == net::TrustResultType::Unspecified);

    std::optional<net::AuthChallengeDisposition> answer;
    auto record = [&](net::AuthChallengeDisposition d) { answer = d; };
    EXPECT_TRUE(pinner.handleChallenge({"127.0.0.1", 443, trust}, nullptr, record));
    EXPECT_EQ(answer, net::AuthChallengeDisposition::UseCredential);
    EXPECT_FALSE(pinner.handleChallenge({"127.0.0.1", 443, net::Trust({}, "127.0.0.1")}, nullptr, record));
    EXPECT_EQ(answer, net::AuthChallengeDisposition::CancelAuthenticationChallenge);
    EXPECT_FALSE(none.handleChallenge({"127.0.0.1", 443, trust}, nullptr, record));
    EXPECT_EQ(answer, net::AuthChallengeDisposition::CancelAuthenticationChallenge);

    auto der = pki().rootA().certificateDER;
    EXPECT_TRUE(BCNCertificatePinner::createCertificationWithData(der.data(), der.size()));
    EXPECT_FALSE(BCNCertificatePinner::createCertificationWithData(der.data(), der.size() - 1));
}

TEST(BCNCertificatePinnerTest, TheEmbeddedPinsAreTheStoredRootsInOrder) {
    const std::vector<net::Certificate>* seen[8] = {};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) threads.emplace_back([&, i] { seen[i] = &BCNPinnedCertificates(); });
    for (auto& t : threads) t.join();
    for (auto* list : seen) EXPECT_EQ(list, seen[0]);

    struct Pin {
        const char* commonName;
        const char* organization;
        size_t derSize;
    };
    const Pin expected[] = {
        {"Entrust Root Certification Authority", "Entrust, Inc.", 1173},
        {"DigiCert High Assurance EV Root CA", "DigiCert Inc", 969},
    };
    const auto& pins = BCNPinnedCertificates();
    ASSERT_EQ(pins.size(), std::size(expected));
    for (size_t i = 0; i < pins.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(pins[i].commonName(), expected[i].commonName);
        EXPECT_EQ(pins[i].organization(), expected[i].organization);
        EXPECT_EQ(pins[i].derData().size(), expected[i].derSize);
    }
}

// Declared last: once the pins are made (the test above), they stay.
TEST(BCNCertificatePinnerTest, ATestMayReplaceThePinsBeforeTheirFirstUse) {
    bool replaced = BCNReplacePinnedCertificatesBeforeFirstUse({pki().rootA().certificateDER});
    const auto& pins = BCNPinnedCertificates();
    if (replaced) {
        ASSERT_EQ(pins.size(), 1u);
        EXPECT_EQ(pins[0], cert(pki().rootA()));
    }
    EXPECT_FALSE(BCNReplacePinnedCertificatesBeforeFirstUse({}));
    EXPECT_EQ(&BCNPinnedCertificates(), &pins);
}
