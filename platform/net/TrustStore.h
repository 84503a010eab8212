#pragma once
// The anchors behind "default trust": the system's CA certificates (the files
// that SSL_CERT_FILE and SSL_CERT_DIR name, else the distribution's bundle), or
// a set that tests put in their place. Any thread.

#include <optional>
#include <vector>

#include "platform/net/Certificate.h"

struct x509_store_st;

namespace net {

class TrustStore {
public:
    // Default trust then means these anchors and nothing else.
    static void setDefaultAnchors(std::vector<Certificate> anchors);
    // Back to the system's CA certificates.
    static void useSystemAnchors();
    static std::optional<std::vector<Certificate>> defaultAnchorsOverride();

    // An OpenSSL store holding the default anchors, with a reference for the
    // caller (X509_STORE_free). Built once and shared: do not add to it.
    static x509_store_st* copyDefaultStore();
    // A new store with the default anchors and these extra ones; the caller owns it.
    static x509_store_st* newDefaultStoreWith(const std::vector<Certificate>& extraAnchors);
};

}  // namespace net
