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

// Runs on the network thread in the middle of a handshake, once per new
// connection (TLS sessions are never resumed while a hook is set). Every
// transfer waits meanwhile, so answer quickly; it may block for at most the
// request's timeout, and must not wait for an event of any request.
using ServerTrustHook = std::function<AuthChallengeDisposition(const ServerTrustChallenge&)>;

}  // namespace net
