#pragma once
// The question a TLS handshake puts to whoever set a server-trust hook: here is
// the server's chain for this host, shall the connection go on?

#include <functional>
#include <string>

#include "platform/net/Trust.h"

namespace net {

// Numbered as the platform numbers its challenge dispositions.
enum class AuthChallengeDisposition {
    UseCredential = 0,                  // trust the server: the handshake goes on
    PerformDefaultHandling = 1,         // default trust decides (TrustStore)
    CancelAuthenticationChallenge = 2,  // refuse: the request fails as cancelled
    RejectProtectionSpace = 3,          // treated as default handling
};

struct ServerTrustChallenge {
    std::string host;
    int port = 0;
    Trust serverTrust;  // the chain as presented, for host; no anchors set
};

// Runs in the middle of a handshake, for every connection: a request with a
// hook opens connections of its own and never resumes a TLS session, so no
// handshake escapes it. It runs on the request's own network thread (each
// request with a hook has one, see Engine), where the request's events run
// too: a slow answer holds up that request only, and its time-outs still
// count once the answer is given. Never wait for an event of the same request,
// and never throw.
using ServerTrustHook = std::function<AuthChallengeDisposition(const ServerTrustChallenge&)>;

}  // namespace net
