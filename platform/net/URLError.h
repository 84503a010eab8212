#pragma once
// Errors of URL loading, in the platform's URL error domain and codes, so that
// callers classify them the way they would on the platform (a time-out may be
// retried, a refused certificate never is).

#include <cstdint>
#include <string>

#include "platform/foundation/Error.h"

namespace net {

inline constexpr const char* kURLErrorDomain = "NSURLErrorDomain";
// User-info keys: the URL that failed, and the transport's own code and text
// (kept for logs; callers decide on the domain code alone).
inline constexpr const char* kURLErrorFailingURLStringKey = "NSErrorFailingURLStringKey";
inline constexpr const char* kURLErrorTransportCodeKey = "TransportCode";
inline constexpr const char* kURLErrorTransportMessageKey = "TransportMessage";
inline constexpr const char* kURLErrorCertificateErrorKey = "CertificateError";

enum URLErrorCode : int64_t {
    URLErrorUnknown = -1,
    URLErrorCancelled = -999,
    URLErrorBadURL = -1000,
    URLErrorTimedOut = -1001,
    URLErrorUnsupportedURL = -1002,
    URLErrorCannotFindHost = -1003,
    URLErrorCannotConnectToHost = -1004,
    URLErrorNetworkConnectionLost = -1005,
    URLErrorDNSLookupFailed = -1006,
    URLErrorHTTPTooManyRedirects = -1007,
    URLErrorResourceUnavailable = -1008,
    URLErrorNotConnectedToInternet = -1009,
    URLErrorBadServerResponse = -1011,
    URLErrorUserCancelledAuthentication = -1012,
    URLErrorUserAuthenticationRequired = -1013,
    URLErrorZeroByteResource = -1014,
    URLErrorCannotDecodeRawData = -1015,
    URLErrorCannotDecodeContentData = -1016,
    URLErrorCannotParseResponse = -1017,
    URLErrorFileDoesNotExist = -1100,
    URLErrorDataLengthExceedsMaximum = -1103,
    URLErrorSecureConnectionFailed = -1200,
    URLErrorServerCertificateHasBadDate = -1201,
    URLErrorServerCertificateUntrusted = -1202,
    URLErrorServerCertificateHasUnknownRoot = -1203,
    URLErrorServerCertificateNotYetValid = -1204,
    URLErrorClientCertificateRejected = -1205,
    URLErrorCannotCreateFile = -3000,
    URLErrorCannotOpenFile = -3001,
    URLErrorCannotWriteToFile = -3003,
};

// An error of the URL domain with a description for the code, the failing URL
// and, when known, the transport's detail.
foundation::Error makeURLError(int64_t code, const std::string& url = {}, const std::string& detail = {});

bool isURLError(const foundation::Error& error, int64_t code);

// The URL error code for a libcurl result code; osErrno (the socket error of a
// failed connect) separates a refused connection from an unreachable network.
int64_t urlErrorCodeForTransportCode(int curlCode, int osErrno = 0);

// The URL error code for an OpenSSL certificate verification error.
int64_t urlErrorCodeForCertificateError(int x509Error);

}  // namespace net
