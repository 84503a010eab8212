#include "platform/net/Certificate.h"

#include <openssl/pem.h>
#include <openssl/x509.h>

namespace net {

namespace {

std::shared_ptr<X509> own(X509* x) { return std::shared_ptr<X509>(x, X509_free); }

std::string subjectEntry(X509* x, int nid) {
    X509_NAME* name = X509_get_subject_name(x);
    int index = name ? X509_NAME_get_index_by_NID(name, nid, -1) : -1;
    if (index < 0) return {};
    ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
    unsigned char* utf8 = nullptr;
    int length = ASN1_STRING_to_UTF8(&utf8, data);
    if (length < 0) return {};
    std::string text(reinterpret_cast<char*>(utf8), size_t(length));
    OPENSSL_free(utf8);
    return text;
}

}  // namespace

std::optional<Certificate> Certificate::fromDER(const uint8_t* bytes, size_t length) {
    if (!bytes || length == 0 || length > size_t(INT32_MAX)) return std::nullopt;
    const unsigned char* p = bytes;
    X509* x = d2i_X509(nullptr, &p, long(length));
    if (!x) return std::nullopt;
    if (p != bytes + length) {  // trailing bytes: not one certificate
        X509_free(x);
        return std::nullopt;
    }
    return Certificate(own(x));
}

std::vector<Certificate> Certificate::fromPEM(std::string_view pem) {
    std::vector<Certificate> out;
    BIO* bio = BIO_new_mem_buf(pem.data(), int(pem.size()));
    if (!bio) return out;
    while (X509* x = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) out.push_back(Certificate(own(x)));
    BIO_free(bio);
    return out;
}

Certificate Certificate::retaining(x509_st* x509) {
    X509_up_ref(x509);
    return Certificate(own(x509));
}

std::vector<uint8_t> Certificate::derData() const {
    int length = i2d_X509(x509_.get(), nullptr);
    if (length <= 0) return {};
    std::vector<uint8_t> der(static_cast<size_t>(length));
    unsigned char* p = der.data();
    i2d_X509(x509_.get(), &p);
    return der;
}

std::string Certificate::pem() const {
    BIO* bio = BIO_new(BIO_s_mem());
    if (!bio) return {};
    std::string text;
    if (PEM_write_bio_X509(bio, x509_.get())) {
        char* data = nullptr;
        long length = BIO_get_mem_data(bio, &data);
        text.assign(data, size_t(length));
    }
    BIO_free(bio);
    return text;
}

std::string Certificate::commonName() const { return subjectEntry(x509_.get(), NID_commonName); }
std::string Certificate::organization() const { return subjectEntry(x509_.get(), NID_organizationName); }

bool Certificate::operator==(const Certificate& other) const { return X509_cmp(x509_.get(), other.x509_.get()) == 0; }

}  // namespace net
