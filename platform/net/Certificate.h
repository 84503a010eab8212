#pragma once
// An X.509 certificate, immutable and cheap to copy (copies share the parsed
// certificate). Any thread.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct x509_st;

namespace net {

class Certificate {
public:
    // Nothing when the bytes are not one DER-encoded certificate.
    static std::optional<Certificate> fromDER(const uint8_t* bytes, size_t length);
    static std::optional<Certificate> fromDER(const std::vector<uint8_t>& der) { return fromDER(der.data(), der.size()); }
    // Every certificate in a PEM text, in order; none when there is none.
    static std::vector<Certificate> fromPEM(std::string_view pem);
    // Takes a reference of an OpenSSL certificate (the net layer's own use).
    static Certificate retaining(x509_st* x509);

    std::vector<uint8_t> derData() const;
    std::string pem() const;
    // The subject's common name and organisation, empty when absent.
    std::string commonName() const;
    std::string organization() const;

    // The OpenSSL certificate, for the net layer's own OpenSSL calls.
    x509_st* x509() const { return x509_.get(); }

    bool operator==(const Certificate& other) const;

private:
    explicit Certificate(std::shared_ptr<x509_st> x509) : x509_(std::move(x509)) {}

    std::shared_ptr<x509_st> x509_;
};

}  // namespace net
