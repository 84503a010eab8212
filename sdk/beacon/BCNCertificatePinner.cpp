#include "sdk/beacon/BCNCertificatePinner.h"

BCNCertificatePinner::BCNCertificatePinner(std::vector<net::Certificate> certificates)
    : certificates_(std::move(certificates)) {}

bool BCNCertificatePinner::handleChallenge(const net::ServerTrustChallenge& challenge, BBXURLSession*,
                                           const ChallengeCompletionHandler& completionHandler) const {
    if (challenge.serverTrust.certificates().empty()) {
        completionHandler(net::AuthChallengeDisposition::CancelAuthenticationChallenge);
        return false;
    }
    net::TrustResultType result = net::TrustResultType::Invalid;
    int status = evaluateTrust(challenge.serverTrust, result);
    if (status == 0 && (result == net::TrustResultType::Proceed || result == net::TrustResultType::Unspecified)) {
        completionHandler(net::AuthChallengeDisposition::UseCredential);
        return true;
    }
    completionHandler(net::AuthChallengeDisposition::CancelAuthenticationChallenge);
    return false;
}

int BCNCertificatePinner::evaluateTrust(net::Trust trust, net::TrustResultType& result) const {
    if (certificates_.empty()) {
        result = net::TrustResultType::Invalid;
        return 0;
    }
    trust.setAnchorCertificates(certificates_);
    trust.setAnchorCertificatesOnly(true);
    result = trust.evaluate().result;
    return 0;
}

std::optional<net::Certificate> BCNCertificatePinner::createCertificationWithData(const uint8_t* bytes, size_t length) {
    return net::Certificate::fromDER(bytes, length);
}
