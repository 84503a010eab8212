#include "sdk/beacon/BCNNetworkResponseHandler.h"

#include <charconv>
#include <cmath>
#include <strings.h>

#include "platform/net/URLError.h"

namespace {

constexpr double kDefaultRetryValue = 2.0;

bool equalIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

void BCNNetworkResponseHandler::handleCompletedResponse(const std::optional<net::HTTPURLResponse>& response,
                                                        const net::URLRequest& originalRequest,
                                                        const std::optional<foundation::Error>& error,
                                                        const Verdict& block) {
    if (error) {
        block(error->domain == net::kURLErrorDomain && error->code == net::URLErrorTimedOut, error);
        return;
    }
    clientResponseType(response, [&](Type type, int status) {
        switch (type) {
        case Success:
            if (contentTypeForResponse(response, originalRequest))
                block(false, std::nullopt);
            else
                block(false, errorForResponse(response, Failure, status));
            break;
        case Failure:
        case ClientError: block(false, errorForResponse(response, type, status)); break;
        case ServerError:
        case RateLimited: block(true, errorForResponse(response, type, status)); break;
        }
    });
}

void BCNNetworkResponseHandler::clientResponseType(const std::optional<net::HTTPURLResponse>& response,
                                                   const std::function<void(Type type, int status)>& handler) {
    int status = response ? response->statusCode() : 0;
    handler(typeForStatus(status), status);
}

BCNNetworkResponseHandler::Type BCNNetworkResponseHandler::typeForStatus(int status) {
    switch (status) {
    case 200: case 201: case 202: case 204: case 304: return Success;
    case 400: case 401: case 403: case 404: case 406: case 410: case 411: case 413: case 419: case 422: case 431:
        return ClientError;
    case 408: return ServerError;
    case 420: case 429: return RateLimited;
    default: return status >= 500 && status <= 599 ? ServerError : Failure;
    }
}

double BCNNetworkResponseHandler::retryValueForResponse(const std::optional<net::HTTPURLResponse>& response) {
    auto header = headerForResponse(response, "Retry-After");
    if (!header) return kDefaultRetryValue;
    // Decimal text, leading blanks and a sign allowed; what follows the number
    // is ignored and text without one reads as 0.
    const char* begin = header->c_str();
    const char* end = begin + header->size();
    while (begin < end && (*begin == ' ' || *begin == '\t')) ++begin;
    if (begin < end && *begin == '+') ++begin;
    double value = 0;
    auto [ptr, ec] = std::from_chars(begin, end, value);
    (void)ptr;
    if (ec == std::errc::result_out_of_range) return kDefaultRetryValue;
    if (ec != std::errc()) value = 0;
    // A value that is no finite, non-negative number of seconds cannot make a wait.
    if (!std::isfinite(value) || value < 0) return kDefaultRetryValue;
    return value;
}

std::string BCNNetworkResponseHandler::requestIdForResponse(const std::optional<net::HTTPURLResponse>& response) {
    return headerForResponse(response, "X-Request-Id").value_or("");
}

std::optional<std::string> BCNNetworkResponseHandler::headerForResponse(
    const std::optional<net::HTTPURLResponse>& response, const std::string& key) {
    if (!response || response->allHeaderFields().empty()) return std::nullopt;
    return response->valueForHTTPHeaderField(key);
}

bool BCNNetworkResponseHandler::contentTypeForResponse(const std::optional<net::HTTPURLResponse>& response,
                                                       const net::URLRequest& request) {
    auto accept = request.valueForHTTPHeaderField("Accept");
    if (!accept) return true;
    auto contentType = headerForResponse(response, "Content-Type");
    if (!contentType) return false;
    static const std::string kSeparator = "; charset=";
    size_t split = contentType->find(kSeparator);
    std::string mediaType = contentType->substr(0, split);
    if (!equalIgnoringCase(mediaType, *accept)) return false;
    auto acceptCharset = request.valueForHTTPHeaderField("Accept-Charset");
    if (acceptCharset && split != std::string::npos) {
        size_t start = split + kSeparator.size();
        size_t next = contentType->find(kSeparator, start);
        std::string charset = contentType->substr(start, next == std::string::npos ? std::string::npos : next - start);
        if (!equalIgnoringCase(charset, *acceptCharset)) return false;
    }
    return true;
}

foundation::Error BCNNetworkResponseHandler::errorForResponse(const std::optional<net::HTTPURLResponse>& response,
                                                              Type type, int status) {
    int64_t code = type == ClientError ? ClientErrorResponse
                   : (type == ServerError || type == RateLimited) ? RetryableResponse
                                                                  : FailedResponse;
    return errorForCode(code, {
                                  {kTypeKey, std::to_string(int(type))},
                                  {kStatusCodeKey, std::to_string(status)},
                                  {kRequestIdKey, requestIdForResponse(response)},
                                  {kContentTypeKey, headerForResponse(response, "Content-Type").value_or("")},
                              });
}

foundation::Error BCNNetworkResponseHandler::errorForCode(int64_t code, std::map<std::string, std::string> userInfo) {
    foundation::Error error(kErrorDomain, code);
    error.userInfo = std::move(userInfo);
    return error;
}
