#include "platform/net/Trust.h"

#include <arpa/inet.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include "platform/net/TrustStore.h"

namespace net {

namespace {

bool isIPAddress(const std::string& host) {
    unsigned char buffer[16];
    return inet_pton(AF_INET, host.c_str(), buffer) == 1 || inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

}  // namespace

Trust::Trust(std::vector<Certificate> chain, std::string host) : chain_(std::move(chain)), host_(std::move(host)) {
    // URLs write IPv6 hosts in brackets; certificates do not.
    if (host_.size() > 2 && host_.front() == '[' && host_.back() == ']') host_ = host_.substr(1, host_.size() - 2);
}

TrustEvaluation Trust::evaluate() const {
    TrustEvaluation evaluation;
    if (chain_.empty()) {
        evaluation.reason = "no certificate to evaluate";
        return evaluation;
    }
    X509_STORE* store = nullptr;
    if (anchorsOnly_) {
        store = X509_STORE_new();
        if (store)
            for (const Certificate& c : anchors_) X509_STORE_add_cert(store, c.x509());
    } else {
        store = anchors_.empty() ? TrustStore::copyDefaultStore() : TrustStore::newDefaultStoreWith(anchors_);
    }
    STACK_OF(X509)* untrusted = sk_X509_new_null();
    X509_STORE_CTX* ctx = X509_STORE_CTX_new();
    if (!store || !untrusted || !ctx) {
        evaluation.result = TrustResultType::OtherError;
        evaluation.reason = "out of memory";
    } else {
        for (size_t i = 1; i < chain_.size(); ++i) sk_X509_push(untrusted, chain_[i].x509());
        X509_STORE_CTX_init(ctx, store, chain_.front().x509(), untrusted);
        X509_STORE_CTX_set_default(ctx, "ssl_server");
        X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx);
        // Given anchors count as trusted wherever they sit in the chain, so an
        // intermediate can be pinned without its root.
        if (!anchors_.empty()) X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_PARTIAL_CHAIN);
        if (!host_.empty()) {
            if (isIPAddress(host_)) {
                X509_VERIFY_PARAM_set1_ip_asc(param, host_.c_str());
            } else {
                X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
                X509_VERIFY_PARAM_set1_host(param, host_.c_str(), host_.size());
            }
        }
        if (X509_verify_cert(ctx) == 1) {
            evaluation.result = TrustResultType::Unspecified;
        } else {
            evaluation.result = TrustResultType::RecoverableTrustFailure;
            evaluation.certificateError = X509_STORE_CTX_get_error(ctx);
            evaluation.reason = X509_verify_cert_error_string(evaluation.certificateError);
        }
    }
    X509_STORE_CTX_free(ctx);
    sk_X509_free(untrusted);  // the certificates belong to chain_
    X509_STORE_free(store);
    return evaluation;
}

}  // namespace net
