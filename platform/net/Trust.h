#pragma once
// Trust evaluation of a server's certificate chain for a host: against the
// default anchors (TrustStore), or against given anchors only, as certificate
// pinning needs. A given anchor may be an intermediate or even the leaf: the
// chain is trusted once it reaches any anchor. Any thread; a plain value.

#include <string>
#include <vector>

#include "platform/net/Certificate.h"

namespace net {

// The outcomes a trust evaluation reports, numbered as the platform numbers
// them; Proceed and Unspecified both mean "trusted".
enum class TrustResultType {
    Invalid = 0,
    Proceed = 1,
    Deny = 3,
    Unspecified = 4,
    RecoverableTrustFailure = 5,
    FatalTrustFailure = 6,
    OtherError = 7,
};

struct TrustEvaluation {
    TrustResultType result = TrustResultType::Invalid;
    int certificateError = 0;  // OpenSSL's X509_V_ERR_*, 0 when trusted
    std::string reason;        // OpenSSL's text for the error

    bool trusted() const { return result == TrustResultType::Proceed || result == TrustResultType::Unspecified; }
};

class Trust {
public:
    Trust() = default;
    // chain: the server's certificates as presented, leaf first. host: the name
    // or IP address the certificate must be for; empty checks no name.
    Trust(std::vector<Certificate> chain, std::string host);

    const std::vector<Certificate>& certificates() const { return chain_; }
    const std::string& host() const { return host_; }

    // Extra anchors; with anchorsOnly the default anchors are left out.
    void setAnchorCertificates(std::vector<Certificate> anchors) { anchors_ = std::move(anchors); }
    const std::vector<Certificate>& anchorCertificates() const { return anchors_; }
    void setAnchorCertificatesOnly(bool only) { anchorsOnly_ = only; }
    bool anchorCertificatesOnly() const { return anchorsOnly_; }

    TrustEvaluation evaluate() const;

private:
    std::vector<Certificate> chain_;
    std::string host_;
    std::vector<Certificate> anchors_;
    bool anchorsOnly_ = false;
};

}  // namespace net
