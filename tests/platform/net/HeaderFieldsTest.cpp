#include <curl/curl.h>
#include <gtest/gtest.h>
#include <openssl/x509_vfy.h>

#include "platform/net/HTTPURLResponse.h"
#include "platform/net/HeaderFields.h"
#include "platform/net/URLError.h"
#include "platform/net/URLRequest.h"

using namespace net;

TEST(HeaderFieldsTest, LooksUpNamesInAnyLetterCaseAndKeepsTheFirstSpelling) {
    HeaderFields h;
    h.set("X-Request-Id", "a1");
    EXPECT_EQ(h.value("x-request-id"), "a1");
    EXPECT_EQ(h.value("X-REQUEST-ID"), "a1");
    h.set("x-request-id", "b2");
    ASSERT_EQ(h.size(), 1u);
    EXPECT_EQ(h.fields()[0].first, "X-Request-Id");
    EXPECT_EQ(h.fields()[0].second, "b2");
    h.remove("X-REQUEST-id");
    EXPECT_TRUE(h.empty());
}

TEST(HeaderFieldsTest, AddingToAPresentNameCommaJoinsTheValues) {
    HeaderFields h{{"Accept", "text/html"}};
    h.add("accept", "application/json");
    h.add("X-New", "1");
    EXPECT_EQ(h.value("Accept"), "text/html, application/json");
    EXPECT_EQ(h.value("x-new"), "1");
    EXPECT_FALSE(h.value("Missing").has_value());
}

TEST(URLRequestTest, ABodyFileReplacesBytesAndTheOtherWayRound) {
    URLRequest r("http://127.0.0.1/");
    r.setHTTPBody(std::string_view("abc"));
    r.setHTTPBodyFile("/tmp/x");
    EXPECT_TRUE(r.httpBody().empty());
    EXPECT_TRUE(r.hasBody());
    r.setHTTPBody(std::string_view("abc"));
    EXPECT_FALSE(r.httpBodyFile().has_value());
    EXPECT_TRUE(r.allowsScheme("HTTPS"));
    r.setAllowedSchemes({"https"});
    EXPECT_FALSE(r.allowsScheme("http"));
}

TEST(HTTPURLResponseTest, ReadsLengthMediaTypeAndCharset) {
    struct Row {
        const char* name;
        HeaderFields headers;
        int64_t length;
        std::string mime, charset;
    };
    const Row rows[] = {
        {"plain", {{"content-length", "42"}, {"content-type", "text/html; charset=UTF-8"}}, 42, "text/html", "utf-8"},
        {"quoted charset", {{"Content-Type", "Application/JSON;charset=\"iso-8859-1\""}}, -1, "application/json", "iso-8859-1"},
        {"no charset", {{"Content-Type", "image/png"}, {"Content-Length", " 7 "}}, 7, "image/png", ""},
        {"bad length", {{"Content-Length", "12x"}}, -1, "", ""},
        {"negative length", {{"Content-Length", "-5"}}, -1, "", ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        HTTPURLResponse response("http://h/", 200, r.headers);
        EXPECT_EQ(response.expectedContentLength(), r.length);
        EXPECT_EQ(response.mimeType(), r.mime);
        EXPECT_EQ(response.textEncodingName(), r.charset);
    }
}

TEST(URLErrorTest, TransportCodesMapToTheURLErrorCodes) {
    struct Row {
        const char* name;
        int curlCode, osErrno;
        int64_t code;
    };
    const Row rows[] = {
        {"malformed", CURLE_URL_MALFORMAT, 0, URLErrorBadURL},
        {"unsupported", CURLE_UNSUPPORTED_PROTOCOL, 0, URLErrorUnsupportedURL},
        {"no host", CURLE_COULDNT_RESOLVE_HOST, 0, URLErrorCannotFindHost},
        {"refused", CURLE_COULDNT_CONNECT, ECONNREFUSED, URLErrorCannotConnectToHost},
        {"no network", CURLE_COULDNT_CONNECT, ENETUNREACH, URLErrorNotConnectedToInternet},
        {"timed out", CURLE_OPERATION_TIMEDOUT, 0, URLErrorTimedOut},
        {"short body", CURLE_PARTIAL_FILE, 0, URLErrorNetworkConnectionLost},
        {"empty reply", CURLE_GOT_NOTHING, 0, URLErrorNetworkConnectionLost},
        {"receive", CURLE_RECV_ERROR, 0, URLErrorNetworkConnectionLost},
        {"redirects", CURLE_TOO_MANY_REDIRECTS, 0, URLErrorHTTPTooManyRedirects},
        {"handshake", CURLE_SSL_CONNECT_ERROR, 0, URLErrorSecureConnectionFailed},
        {"peer", CURLE_PEER_FAILED_VERIFICATION, 0, URLErrorServerCertificateUntrusted},
        {"encoding", CURLE_BAD_CONTENT_ENCODING, 0, URLErrorCannotDecodeContentData},
        {"too big", CURLE_FILESIZE_EXCEEDED, 0, URLErrorDataLengthExceedsMaximum},
        {"other", CURLE_OUT_OF_MEMORY, 0, URLErrorUnknown},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(urlErrorCodeForTransportCode(r.curlCode, r.osErrno), r.code);
    }
    EXPECT_EQ(urlErrorCodeForCertificateError(X509_V_ERR_CERT_HAS_EXPIRED), URLErrorServerCertificateHasBadDate);
    EXPECT_EQ(urlErrorCodeForCertificateError(X509_V_ERR_CERT_NOT_YET_VALID), URLErrorServerCertificateNotYetValid);
    EXPECT_EQ(urlErrorCodeForCertificateError(X509_V_ERR_HOSTNAME_MISMATCH), URLErrorServerCertificateUntrusted);
    foundation::Error e = makeURLError(URLErrorTimedOut, "http://h/");
    EXPECT_EQ(e.domain, "NSURLErrorDomain");
    EXPECT_TRUE(isURLError(e, -1001));
    EXPECT_EQ(e.userInfo.at(kURLErrorFailingURLStringKey), "http://h/");
}
