#include <gtest/gtest.h>
#include <openssl/x509_vfy.h>

#include "platform/net/Certificate.h"
#include "platform/net/Trust.h"
#include "platform/net/TrustStore.h"
#include "tests/support/TestCertificates.h"

using namespace net;
using testsupport::TestCertificates;
using Leaf = TestCertificates::Leaf;

namespace {

Certificate cert(const testsupport::TestCertificate& c) { return *Certificate::fromDER(c.certificateDER); }

// The chain a server with this leaf presents.
std::vector<Certificate> presented(Leaf leaf) { return Certificate::fromPEM(TestCertificates::shared().identity(leaf).chainPEM); }

}  // namespace

TEST(CertificateTest, ReadsDERAndPEMAndRefusesOtherBytes) {
    const auto& pki = TestCertificates::shared();
    std::optional<Certificate> root = Certificate::fromDER(pki.rootA().certificateDER);
    ASSERT_TRUE(root);
    EXPECT_EQ(root->commonName(), "Tavlo Test Root A");
    EXPECT_EQ(root->organization(), "Tavlo Tests");
    EXPECT_EQ(root->derData(), pki.rootA().certificateDER);
    EXPECT_EQ(Certificate::fromPEM(root->pem()).at(0), *root);
    EXPECT_EQ(presented(Leaf::Good).size(), 2u);

    std::vector<uint8_t> trailing = pki.rootA().certificateDER;
    trailing.push_back(0);
    EXPECT_FALSE(Certificate::fromDER(trailing));
    EXPECT_FALSE(Certificate::fromDER(std::vector<uint8_t>{1, 2, 3}));
    EXPECT_FALSE(Certificate::fromDER(std::vector<uint8_t>{}));
    EXPECT_TRUE(Certificate::fromPEM("no certificate here").empty());
}

TEST(TrustTest, AnchorsOnlyMatrix) {
    const auto& pki = TestCertificates::shared();
    struct Row {
        const char* name;
        Leaf leaf;
        std::string host;
        std::vector<Certificate> anchors;
        bool trusted;
        int error;
    };
    const Row rows[] = {
        {"pinned root", Leaf::Good, "127.0.0.1", {cert(pki.rootA())}, true, X509_V_OK},
        {"pinned root, by name", Leaf::Good, "localhost", {cert(pki.rootA())}, true, X509_V_OK},
        {"other root", Leaf::Good, "127.0.0.1", {cert(pki.rootB())}, false, X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY},
        {"pinned intermediate", Leaf::Good, "127.0.0.1", {cert(pki.intermediateA())}, true, X509_V_OK},
        {"one of several", Leaf::Good, "127.0.0.1", {cert(pki.rootB()), cert(pki.rootA())}, true, X509_V_OK},
        {"no anchors", Leaf::Good, "127.0.0.1", {}, false, X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY},
        {"expired", Leaf::Expired, "127.0.0.1", {cert(pki.rootA())}, false, X509_V_ERR_CERT_HAS_EXPIRED},
        {"not yet valid", Leaf::NotYetValid, "127.0.0.1", {cert(pki.rootA())}, false, X509_V_ERR_CERT_NOT_YET_VALID},
        {"wrong host", Leaf::WrongHost, "127.0.0.1", {cert(pki.rootA())}, false, X509_V_ERR_IP_ADDRESS_MISMATCH},
        {"wrong name", Leaf::Good, "example.org", {cert(pki.rootA())}, false, X509_V_ERR_HOSTNAME_MISMATCH},
        {"self-signed", Leaf::SelfSigned, "127.0.0.1", {cert(pki.rootA())}, false, X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT},
        {"root B leaf, root B", Leaf::OtherRoot, "127.0.0.1", {cert(pki.rootB())}, true, X509_V_OK},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        Trust trust(presented(r.leaf), r.host);
        trust.setAnchorCertificates(r.anchors);
        trust.setAnchorCertificatesOnly(true);
        TrustEvaluation e = trust.evaluate();
        EXPECT_EQ(e.trusted(), r.trusted) << e.reason;
        EXPECT_EQ(e.certificateError, r.error) << e.reason;
        EXPECT_EQ(e.result, r.trusted ? TrustResultType::Unspecified : TrustResultType::RecoverableTrustFailure);
    }
}

TEST(TrustTest, AChainWithoutItsIntermediateReachesOnlyAPinnedIntermediate) {
    const auto& pki = TestCertificates::shared();
    std::vector<Certificate> leafAlone{cert(pki.leaf(Leaf::Good))};
    Trust trust(leafAlone, "127.0.0.1");
    trust.setAnchorCertificatesOnly(true);
    trust.setAnchorCertificates({cert(pki.rootA())});
    EXPECT_FALSE(trust.evaluate().trusted());  // no fetching of missing intermediates
    trust.setAnchorCertificates({cert(pki.intermediateA())});
    EXPECT_TRUE(trust.evaluate().trusted());
}

TEST(TrustTest, DefaultTrustUsesTheSystemAnchorsOrTheTestsReplacement) {
    const auto& pki = TestCertificates::shared();
    Trust trust(presented(Leaf::Good), "127.0.0.1");
    EXPECT_FALSE(trust.evaluate().trusted());  // a test root is in no system bundle
    TrustStore::setDefaultAnchors({cert(pki.rootA())});
    EXPECT_TRUE(trust.evaluate().trusted());
    TrustStore::useSystemAnchors();
    EXPECT_FALSE(trust.evaluate().trusted());
    // Extra anchors join the default ones.
    trust.setAnchorCertificates({cert(pki.rootA())});
    EXPECT_TRUE(trust.evaluate().trusted());
}

TEST(TrustTest, NothingToEvaluateIsInvalid) {
    Trust trust({}, "127.0.0.1");
    EXPECT_EQ(trust.evaluate().result, TrustResultType::Invalid);
    EXPECT_FALSE(trust.evaluate().trusted());
}

TEST(TrustTest, BracketedIPv6HostsAreCheckedWithoutBrackets) {
    EXPECT_EQ(Trust({}, "[::1]").host(), "::1");
}
