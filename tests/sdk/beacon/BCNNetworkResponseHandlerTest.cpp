#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "platform/net/URLError.h"
#include "sdk/beacon/BCNNetworkResponseHandler.h"

using H = BCNNetworkResponseHandler;

namespace {

net::HTTPURLResponse response(int status, net::HeaderFields headers = {}) {
    return net::HTTPURLResponse("https://127.0.0.1/", status, std::move(headers));
}

struct Verdict {
    bool retry = false;
    std::optional<foundation::Error> error;
    int calls = 0;
};

Verdict judge(const std::optional<net::HTTPURLResponse>& r, const net::URLRequest& request = net::URLRequest("https://x/"),
              const std::optional<foundation::Error>& transport = std::nullopt) {
    Verdict v;
    H::handleCompletedResponse(r, request, transport, [&](bool retry, const std::optional<foundation::Error>& e) {
        v.retry = retry;
        v.error = e;
        ++v.calls;
    });
    return v;
}

}  // namespace

// The classes as the table lists them; every other status from 100 to 699 fails.
TEST(BCNNetworkResponseHandlerTest, EveryStatusFallsInItsClass) {
    const std::set<int> success{200, 201, 202, 204, 304};
    const std::set<int> client{400, 401, 403, 404, 406, 410, 411, 413, 419, 422, 431};
    const std::set<int> rate{420, 429};
    for (int status = 100; status <= 699; ++status) {
        SCOPED_TRACE(status);
        H::Type expected = success.count(status)                            ? H::Success
                           : client.count(status)                           ? H::ClientError
                           : rate.count(status)                             ? H::RateLimited
                           : (status == 408 || (status >= 500 && status <= 599)) ? H::ServerError
                                                                            : H::Failure;
        int seenType = -1, seenStatus = -1;
        H::clientResponseType(response(status), [&](H::Type t, int s) {
            seenType = t;
            seenStatus = s;
        });
        EXPECT_EQ(seenType, expected);
        EXPECT_EQ(seenStatus, status);

        Verdict v = judge(response(status));
        EXPECT_EQ(v.calls, 1);
        const int64_t codes[] = {0, H::FailedResponse, H::ClientErrorResponse, H::RetryableResponse,
                                 H::RetryableResponse};
        EXPECT_EQ(v.retry, expected == H::ServerError || expected == H::RateLimited);
        if (expected == H::Success) {
            EXPECT_FALSE(v.error);
        } else {
            ASSERT_TRUE(v.error);
            EXPECT_EQ(v.error->domain, "BCNNetworkError");
            EXPECT_EQ(v.error->code, codes[expected]);
            EXPECT_EQ(v.error->userInfo.at("type"), std::to_string(int(expected)));
            EXPECT_EQ(v.error->userInfo.at("status_code"), std::to_string(status));
        }
    }
    EXPECT_EQ(H::typeForStatus(203), H::Failure);
    EXPECT_EQ(H::typeForStatus(304), H::Success);
    EXPECT_EQ(H::typeForStatus(700), H::Failure);
    // No response at all counts as status 0, a failure.
    int seenStatus = -1;
    H::clientResponseType(std::nullopt, [&](H::Type t, int s) {
        EXPECT_EQ(t, H::Failure);
        seenStatus = s;
    });
    EXPECT_EQ(seenStatus, 0);
}

TEST(BCNNetworkResponseHandlerTest, AnErrorFromAResponseCarriesItsDetails) {
    Verdict v = judge(response(503, {{"x-request-id", "req-7"}, {"Content-Type", "text/plain"}}));
    ASSERT_TRUE(v.error);
    EXPECT_EQ(v.error->userInfo, (std::map<std::string, std::string>{
                                     {"type", "3"}, {"status_code", "503"}, {"request_id", "req-7"}, {"content_type", "text/plain"}}));
    // Absent headers give empty texts; -3 and -6 carry nothing.
    v = judge(response(404));
    EXPECT_EQ(v.error->userInfo.at("request_id"), "");
    EXPECT_EQ(v.error->userInfo.at("content_type"), "");
    EXPECT_TRUE(H::errorForCode(H::NoTask).userInfo.empty());
    EXPECT_TRUE(H::errorForCode(H::RetryLimitReached).userInfo.empty());
}

TEST(BCNNetworkResponseHandlerTest, TransportErrorsAreHandedOnAndOnlyTimeOutsRetried) {
    struct Row {
        int64_t code;
        bool retry;
    };
    const Row rows[] = {{net::URLErrorTimedOut, true},          {net::URLErrorCannotFindHost, false},
                        {net::URLErrorCannotConnectToHost, false}, {net::URLErrorCancelled, false},
                        {net::URLErrorNetworkConnectionLost, false}, {net::URLErrorServerCertificateUntrusted, false}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.code);
        auto transport = net::makeURLError(r.code, "https://x/");
        Verdict v = judge(std::nullopt, net::URLRequest("https://x/"), transport);
        EXPECT_EQ(v.retry, r.retry);
        ASSERT_TRUE(v.error);
        EXPECT_EQ(*v.error, transport);
    }
    // -1001 of another domain is no time-out.
    Verdict v = judge(std::nullopt, net::URLRequest("https://x/"), foundation::Error("Other", net::URLErrorTimedOut));
    EXPECT_FALSE(v.retry);
}

TEST(BCNNetworkResponseHandlerTest, ContentTypeMatchesTheRequestsAccept) {
    struct Row {
        const char* accept;          // null: no Accept
        const char* acceptCharset;   // null: no Accept-Charset
        const char* contentType;     // null: no Content-Type
        bool match;
    };
    const Row rows[] = {
        {nullptr, nullptr, nullptr, true},
        {"application/json", nullptr, nullptr, false},
        {"application/json", "utf-8", "application/JSON; charset=UTF-8", true},
        {"application/json", "utf-8", "application/json; charset=iso-8859-1", false},
        {"application/json", nullptr, "application/json; charset=iso-8859-1", true},
        {"application/json", "utf-8", "application/json", true},
        {"application/json", "utf-8", "text/html", false},
        {"application/json", "utf-8", "text/html; charset=utf-8", false},
        // The split is literal: without the blank the whole text is the type.
        {"application/json", "utf-8", "application/json;charset=utf-8", false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.contentType ? r.contentType : "(none)"));
        net::URLRequest request("https://x/");
        if (r.accept) request.setValue("Accept", r.accept);
        if (r.acceptCharset) request.setValue("Accept-Charset", r.acceptCharset);
        net::HeaderFields headers;
        if (r.contentType) headers.set("Content-Type", r.contentType);
        headers.set("Date", "now");  // so the response has header fields either way
        EXPECT_EQ(H::contentTypeForResponse(response(200, headers), request), r.match);
    }
}

TEST(BCNNetworkResponseHandlerTest, ASuccessOfTheWrongContentTypeFails) {
    net::URLRequest request("https://x/");
    request.setValue("Accept", "application/json");
    Verdict v = judge(response(200, {{"Content-Type", "text/html"}, {"X-REQUEST-ID", "abc"}}), request);
    EXPECT_FALSE(v.retry);
    ASSERT_TRUE(v.error);
    EXPECT_EQ(v.error->code, H::FailedResponse);
    EXPECT_EQ(v.error->userInfo.at("type"), "1");
    EXPECT_EQ(v.error->userInfo.at("status_code"), "200");
    EXPECT_EQ(v.error->userInfo.at("request_id"), "abc");
    EXPECT_EQ(v.error->userInfo.at("content_type"), "text/html");
}

// "Retry-After" is only ever a finite, non-negative number of seconds.
TEST(BCNNetworkResponseHandlerTest, RetryAfterReadsAsFiniteSeconds) {
    struct Row {
        const char* header;  // null: absent
        double value;
    };
    const Row rows[] = {{nullptr, 2},   {"60", 60},   {" 3600", 3600}, {"+7", 7},     {"1.5", 1.5},   {"0", 0},
                        {"-5", 2},      {"inf", 2},   {"-inf", 2},     {"nan", 2},    {"1e400", 2},   {"abc", 0},
                        {"12abc", 12},  {"", 0},      {"1e-400", 2},
                        {"99999999999999999999999999999999999999999999999999999999999999999999999999999999999999999999999"
                         "99999999999999999999999999999999999999999999999999999999999999999999999999999999999999999999999"
                         "99999999999999999999999999999999999999999999999999999999999999999999999999999999999999999999999"
                         "99999999999999999999999999999999999999999999999999999999999999999999999999999999999999999999999"
                         "999999999999999999999999999999999999999999999999999999999999999999999999999",
                         2}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.header ? r.header : "(absent)");
        net::HeaderFields headers{{"Date", "now"}};
        if (r.header) headers.set("Retry-After", r.header);
        double value = H::retryValueForResponse(response(429, headers));
        EXPECT_TRUE(std::isfinite(value));
        EXPECT_EQ(value, r.value);
    }
    EXPECT_EQ(H::retryValueForResponse(std::nullopt), 2);
}

TEST(BCNNetworkResponseHandlerTest, HeadersAreFoundInAnyLetterCase) {
    auto r = response(200, {{"x-request-id", "lower"}});
    EXPECT_EQ(H::requestIdForResponse(r), "lower");
    EXPECT_EQ(H::headerForResponse(r, "X-REQUEST-ID"), "lower");
    EXPECT_EQ(H::headerForResponse(r, "Missing"), std::nullopt);
    EXPECT_EQ(H::headerForResponse(response(200), "X-Request-Id"), std::nullopt);
    EXPECT_EQ(H::requestIdForResponse(std::nullopt), "");
}
