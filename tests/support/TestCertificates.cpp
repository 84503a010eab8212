#include "tests/support/TestCertificates.h"

#include <memory>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdexcept>

namespace testsupport {

namespace {

constexpr long kDay = 24 * 3600;

using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using CertPtr = std::unique_ptr<X509, decltype(&X509_free)>;

struct Made {
    KeyPtr key{nullptr, EVP_PKEY_free};
    CertPtr cert{nullptr, X509_free};
};

void addExtension(X509* cert, X509V3_CTX* ctx, int nid, const char* value) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, ctx, nid, value);
    if (!ext) throw std::runtime_error("bad test certificate extension");
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

// issuer null: self-signed.
Made make(const char* commonName, const Made* issuer, bool ca, long fromDays, long untilDays, const char* altNames) {
    Made made;
    made.key.reset(EVP_EC_gen("P-256"));
    made.cert.reset(X509_new());
    X509* x = made.cert.get();
    if (!made.key || !x) throw std::runtime_error("cannot make a test key");
    X509_set_version(x, 2);
    BIGNUM* serial = BN_new();
    BN_rand(serial, 63, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY);
    BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(x));
    BN_free(serial);
    X509_gmtime_adj(X509_getm_notBefore(x), fromDays * kDay);
    X509_gmtime_adj(X509_getm_notAfter(x), untilDays * kDay);
    X509_set_pubkey(x, made.key.get());
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Tavlo Tests"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
    X509_set_issuer_name(x, issuer ? X509_get_subject_name(issuer->cert.get()) : name);

    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer ? issuer->cert.get() : x, x, nullptr, nullptr, 0);
    addExtension(x, &ctx, NID_basic_constraints, ca ? "critical,CA:TRUE" : "critical,CA:FALSE");
    addExtension(x, &ctx, NID_key_usage, ca ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature");
    addExtension(x, &ctx, NID_subject_key_identifier, "hash");
    addExtension(x, &ctx, NID_authority_key_identifier, "keyid:always");
    if (!ca) addExtension(x, &ctx, NID_ext_key_usage, "serverAuth");
    if (altNames) addExtension(x, &ctx, NID_subject_alt_name, altNames);
    if (!X509_sign(x, issuer ? issuer->key.get() : made.key.get(), EVP_sha256()))
        throw std::runtime_error("cannot sign a test certificate");
    return made;
}

TestCertificate exportMade(const Made& made) {
    TestCertificate out;
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, made.cert.get());
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    out.certificatePEM.assign(data, size_t(length));
    BIO_free(bio);
    bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, made.key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    length = BIO_get_mem_data(bio, &data);
    out.privateKeyPEM.assign(data, size_t(length));
    BIO_free(bio);
    int size = i2d_X509(made.cert.get(), nullptr);
    out.certificateDER.resize(size_t(size));
    unsigned char* p = out.certificateDER.data();
    i2d_X509(made.cert.get(), &p);
    return out;
}

constexpr const char* kLoopbackNames = "IP:127.0.0.1,DNS:localhost";

}  // namespace

const TestCertificates& TestCertificates::shared() {
    static const TestCertificates* certificates = new TestCertificates;
    return *certificates;
}

TestCertificates::TestCertificates() {
    Made rootA = make("Tavlo Test Root A", nullptr, true, -1, 3650, nullptr);
    Made rootB = make("Tavlo Test Root B", nullptr, true, -1, 3650, nullptr);
    Made intermediate = make("Tavlo Test Intermediate A", &rootA, true, -1, 1825, nullptr);
    rootA_ = exportMade(rootA);
    rootB_ = exportMade(rootB);
    intermediateA_ = exportMade(intermediate);
    leaves_.push_back(exportMade(make("127.0.0.1", &intermediate, false, -1, 365, kLoopbackNames)));
    leaves_.push_back(exportMade(make("127.0.0.1 expired", &intermediate, false, -30, -1, kLoopbackNames)));
    leaves_.push_back(exportMade(make("127.0.0.1 future", &intermediate, false, 1, 30, kLoopbackNames)));
    leaves_.push_back(exportMade(make("wrong.example", &intermediate, false, -1, 365, "DNS:wrong.example")));
    leaves_.push_back(exportMade(make("127.0.0.1 self-signed", nullptr, false, -1, 365, kLoopbackNames)));
    leaves_.push_back(exportMade(make("127.0.0.1 root B", &rootB, false, -1, 365, kLoopbackNames)));
}

const TestCertificate& TestCertificates::leaf(Leaf which) const { return leaves_.at(size_t(which)); }

ServerIdentity TestCertificates::identity(Leaf which) const {
    const TestCertificate& l = leaf(which);
    bool underIntermediate = which != Leaf::SelfSigned && which != Leaf::OtherRoot;
    return {l.certificatePEM + (underIntermediate ? intermediateA_.certificatePEM : std::string()), l.privateKeyPEM};
}

}  // namespace testsupport
