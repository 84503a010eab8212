#pragma once
// Certificate pinning: a server is trusted only when its chain reaches one of
// the given certificates, which are then the evaluation's only anchors (a
// pinned intermediate is enough). The list is fixed at creation; any thread.

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "platform/net/Certificate.h"
#include "platform/net/ServerTrustChallenge.h"
#include "platform/net/Trust.h"

class BBXURLSession;

class BCNCertificatePinner {
public:
    using ChallengeCompletionHandler = std::function<void(net::AuthChallengeDisposition)>;

    explicit BCNCertificatePinner(std::vector<net::Certificate> certificates);

    const std::vector<net::Certificate>& certificates() const { return certificates_; }

    // Answers the challenge: use the credential when the server's chain is
    // trusted under the pins (true), else cancel (false), as for a challenge
    // that carries no server trust.
    bool handleChallenge(const net::ServerTrustChallenge& challenge, BBXURLSession* session,
                         const ChallengeCompletionHandler& completionHandler) const;
    // Evaluates trust under the pins only; result receives the outcome and the
    // answer is the evaluation's status (0 unless it could not be run). With no
    // pins the result is Invalid.
    int evaluateTrust(net::Trust trust, net::TrustResultType& result) const;

    static std::optional<net::Certificate> createCertificationWithData(const uint8_t* bytes, size_t length);

private:
    const std::vector<net::Certificate> certificates_;
};
