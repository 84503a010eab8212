#include "platform/net/TrustStore.h"

#include <mutex>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

namespace net {

namespace {

struct State {
    std::mutex mutex;
    std::optional<std::vector<Certificate>> override;
    X509_STORE* shared = nullptr;  // built on first use for the current anchors
};

State& state() {
    static State* s = new State;  // outlives every network thread at exit
    return *s;
}

X509_STORE* buildStore(const std::optional<std::vector<Certificate>>& override,
                       const std::vector<Certificate>& extra) {
    X509_STORE* store = X509_STORE_new();
    if (!store) return nullptr;
    if (override) {
        for (const Certificate& c : *override) X509_STORE_add_cert(store, c.x509());
    } else {
        X509_STORE_set_default_paths(store);
    }
    for (const Certificate& c : extra) X509_STORE_add_cert(store, c.x509());
    return store;
}

}  // namespace

void TrustStore::setDefaultAnchors(std::vector<Certificate> anchors) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.override = std::move(anchors);
    X509_STORE_free(s.shared);
    s.shared = nullptr;
}

void TrustStore::useSystemAnchors() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.override.reset();
    X509_STORE_free(s.shared);
    s.shared = nullptr;
}

std::optional<std::vector<Certificate>> TrustStore::defaultAnchorsOverride() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.override;
}

x509_store_st* TrustStore::copyDefaultStore() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.shared) s.shared = buildStore(s.override, {});
    if (s.shared) X509_STORE_up_ref(s.shared);
    return s.shared;
}

x509_store_st* TrustStore::newDefaultStoreWith(const std::vector<Certificate>& extraAnchors) {
    return buildStore(defaultAnchorsOverride(), extraAnchors);
}

}  // namespace net
