#include "platform/net/URLError.h"

#include <cerrno>
#include <curl/curl.h>
#include <openssl/x509_vfy.h>

namespace net {

namespace {

const char* describe(int64_t code) {
    switch (code) {
    case URLErrorCancelled: return "cancelled";
    case URLErrorBadURL: return "bad URL";
    case URLErrorTimedOut: return "The request timed out.";
    case URLErrorUnsupportedURL: return "unsupported URL";
    case URLErrorCannotFindHost: return "A server with the specified hostname could not be found.";
    case URLErrorCannotConnectToHost: return "Could not connect to the server.";
    case URLErrorNetworkConnectionLost: return "The network connection was lost.";
    case URLErrorHTTPTooManyRedirects: return "too many HTTP redirects";
    case URLErrorNotConnectedToInternet: return "The Internet connection appears to be offline.";
    case URLErrorBadServerResponse: return "The server returned a bad response.";
    case URLErrorCannotDecodeContentData: return "The content could not be decoded.";
    case URLErrorFileDoesNotExist: return "The requested file does not exist.";
    case URLErrorDataLengthExceedsMaximum: return "The resource exceeds the maximum size.";
    case URLErrorSecureConnectionFailed: return "A TLS error caused the secure connection to fail.";
    case URLErrorServerCertificateHasBadDate: return "The certificate for this server has expired.";
    case URLErrorServerCertificateUntrusted: return "The certificate for this server is invalid.";
    case URLErrorServerCertificateNotYetValid: return "The certificate for this server is not yet valid.";
    case URLErrorCannotOpenFile: return "The file could not be opened.";
    case URLErrorCannotWriteToFile: return "The file could not be written.";
    default: return "An unknown error occurred.";
    }
}

}  // namespace

foundation::Error makeURLError(int64_t code, const std::string& url, const std::string& detail) {
    foundation::Error error(kURLErrorDomain, code, describe(code));
    if (!url.empty()) error.userInfo[kURLErrorFailingURLStringKey] = url;
    if (!detail.empty()) error.userInfo[kURLErrorTransportMessageKey] = detail;
    return error;
}

bool isURLError(const foundation::Error& error, int64_t code) {
    return error.domain == kURLErrorDomain && error.code == code;
}

int64_t urlErrorCodeForTransportCode(int curlCode, int osErrno) {
    switch (curlCode) {
    case CURLE_OK: return 0;
    case CURLE_URL_MALFORMAT: return URLErrorBadURL;
    case CURLE_UNSUPPORTED_PROTOCOL: return URLErrorUnsupportedURL;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return URLErrorCannotFindHost;
    case CURLE_COULDNT_CONNECT:
        return (osErrno == ENETUNREACH || osErrno == ENETDOWN) ? URLErrorNotConnectedToInternet
                                                                : URLErrorCannotConnectToHost;
    case CURLE_OPERATION_TIMEDOUT: return URLErrorTimedOut;
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM: return URLErrorNetworkConnectionLost;
    case CURLE_TOO_MANY_REDIRECTS: return URLErrorHTTPTooManyRedirects;
    case CURLE_WEIRD_SERVER_REPLY: return URLErrorBadServerResponse;
    case CURLE_SSL_CONNECT_ERROR: return URLErrorSecureConnectionFailed;
    case CURLE_PEER_FAILED_VERIFICATION: return URLErrorServerCertificateUntrusted;
    case CURLE_BAD_CONTENT_ENCODING: return URLErrorCannotDecodeContentData;
    case CURLE_WRITE_ERROR: return URLErrorCannotWriteToFile;
    case CURLE_READ_ERROR: return URLErrorFileDoesNotExist;
    case CURLE_FILESIZE_EXCEEDED: return URLErrorDataLengthExceedsMaximum;
    case CURLE_ABORTED_BY_CALLBACK: return URLErrorCancelled;
    default: return URLErrorUnknown;
    }
}

int64_t urlErrorCodeForCertificateError(int x509Error) {
    switch (x509Error) {
    case X509_V_OK: return 0;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CRL_HAS_EXPIRED: return URLErrorServerCertificateHasBadDate;
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_CRL_NOT_YET_VALID: return URLErrorServerCertificateNotYetValid;
    default: return URLErrorServerCertificateUntrusted;
    }
}

}  // namespace net
