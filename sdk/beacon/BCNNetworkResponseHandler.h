#pragma once
// Judges a finished kit request: the class of its status, whether to try
// again, and the "BCNNetworkError" error a failure becomes. Stateless; any
// thread.

#include <functional>
#include <map>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/net/HTTPURLResponse.h"
#include "platform/net/URLRequest.h"

class BCNNetworkResponseHandler {
public:
    static constexpr const char* kErrorDomain = "BCNNetworkError";

    // Response classes.
    enum Type : int {
        Success = 0,      // 200, 201, 202, 204, 304
        Failure = 1,      // every status not listed elsewhere, and no status at all
        ClientError = 2,  // 400, 401, 403, 404, 406, 410, 411, 413, 419, 422, 431
        ServerError = 3,  // 408, 500-599: retried
        RateLimited = 4,  // 420, 429: retried
    };

    // Codes of the error domain.
    enum Code : int64_t {
        RetryableResponse = -1,  // type 3 or 4
        NoTask = -3,             // the session made no task for the request
        FailedResponse = -4,     // type 1, or a success of the wrong content type
        ClientErrorResponse = -5,
        RetryLimitReached = -6,
    };

    // User-info keys of the errors made from a response.
    static constexpr const char* kTypeKey = "type";
    static constexpr const char* kStatusCodeKey = "status_code";
    static constexpr const char* kRequestIdKey = "request_id";
    static constexpr const char* kContentTypeKey = "content_type";

    using Verdict = std::function<void(bool retry, const std::optional<foundation::Error>& error)>;

    // A transport error is handed on, retried only when it is a time-out; a
    // response is classed and a failure made an error of this domain.
    static void handleCompletedResponse(const std::optional<net::HTTPURLResponse>& response,
                                        const net::URLRequest& originalRequest,
                                        const std::optional<foundation::Error>& error, const Verdict& block);
    // handler(type, status); no response counts as status 0.
    static void clientResponseType(const std::optional<net::HTTPURLResponse>& response,
                                   const std::function<void(Type type, int status)>& handler);
    static Type typeForStatus(int status);
    // "Retry-After" in seconds: 2 when absent, negative, not finite or out of range.
    static double retryValueForResponse(const std::optional<net::HTTPURLResponse>& response);
    // "X-Request-Id", or empty.
    static std::string requestIdForResponse(const std::optional<net::HTTPURLResponse>& response);
    // Nullopt when the response has no header fields at all.
    static std::optional<std::string> headerForResponse(const std::optional<net::HTTPURLResponse>& response,
                                                        const std::string& key);
    static bool contentTypeForResponse(const std::optional<net::HTTPURLResponse>& response,
                                       const net::URLRequest& request);
    static foundation::Error errorForResponse(const std::optional<net::HTTPURLResponse>& response, Type type,
                                              int status);
    static foundation::Error errorForCode(int64_t code, std::map<std::string, std::string> userInfo = {});
};
