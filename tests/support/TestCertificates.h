#pragma once
// A small PKI made at run time for TLS tests (EC P-256, SHA-256): two roots,
// an intermediate under root A, and server certificates for 127.0.0.1 and
// localhost in the shapes trust tests need. Nothing is checked in; making the
// keys takes a moment, so one set is shared per test process.

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

struct TestCertificate {
    std::string certificatePEM;
    std::vector<uint8_t> certificateDER;
    std::string privateKeyPEM;
};

// What a TLS server presents: its chain (leaf first) and the leaf's key.
struct ServerIdentity {
    std::string chainPEM;
    std::string privateKeyPEM;
};

class TestCertificates {
public:
    enum class Leaf {
        Good,         // 127.0.0.1 and localhost, issued by the intermediate under root A
        Expired,      // as Good, but its validity ended yesterday
        NotYetValid,  // as Good, but valid only from tomorrow
        WrongHost,    // as Good, but for wrong.example only
        SelfSigned,   // for 127.0.0.1 and localhost, signed by itself
        OtherRoot,    // for 127.0.0.1 and localhost, issued by root B directly
    };

    static const TestCertificates& shared();
    TestCertificates();

    const TestCertificate& rootA() const { return rootA_; }
    const TestCertificate& rootB() const { return rootB_; }
    const TestCertificate& intermediateA() const { return intermediateA_; }
    const TestCertificate& leaf(Leaf which) const;
    // The leaf with the intermediates a server sends along with it.
    ServerIdentity identity(Leaf which) const;

private:
    TestCertificate rootA_, rootB_, intermediateA_;
    std::vector<TestCertificate> leaves_;  // indexed by Leaf
};

}  // namespace testsupport
