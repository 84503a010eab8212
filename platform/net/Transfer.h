#pragma once
// One request on the network thread: a libcurl easy handle that the Engine
// drives, set up anew for every redirect it follows itself (so scheme limits,
// redirect counts, the body cap and the trust hook apply to every hop).
// Made and configured on any thread before Engine::start; from then on only
// its network thread touches it (a thread of its own when it has a trust hook,
// see Engine). Its events also run on that thread.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/net/HTTPURLResponse.h"
#include "platform/net/ServerTrustChallenge.h"
#include "platform/net/URLRequest.h"

namespace net {

struct TransferEvents {
    // The final response's headers; redirects that are followed are not reported.
    std::function<void(const HTTPURLResponse&)> response;
    // Body bytes. Answering false refuses them for now: the transfer pauses and
    // offers the same bytes again after Engine::resume.
    std::function<bool(const uint8_t* bytes, size_t length)> data;
    // Once at the end, unless cancelled: no error, or why the request failed.
    std::function<void(const std::optional<foundation::Error>&)> complete;
    // Once instead of complete when the transfer ends without an outcome:
    // cancelled, or dropped because the network thread stopped (at exit).
    std::function<void()> abandoned;
};

class Transfer {
public:
    Transfer(URLRequest request, TransferEvents events);
    ~Transfer();
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    // Before start only.
    void setServerTrustHook(ServerTrustHook hook) { hook_ = std::move(hook); }
    bool hasServerTrustHook() const { return static_cast<bool>(hook_); }
    // The body goes to this file (created 0600 or truncated) instead of data events.
    void setDownloadFile(std::filesystem::path path) { downloadPath_ = std::move(path); }

    // --- Network thread only (the Engine) ---
    void* handle() const { return easy_; }
    // Sets up the first hop; an error means the request cannot start.
    std::optional<foundation::Error> begin(double now);
    // The current hop ended with this libcurl code. True when a redirect hop is
    // set up and the handle must be added again; otherwise the outcome is known
    // and finish() must follow with outcome().
    bool hopFinished(int curlCode, double now);
    std::optional<foundation::Error> outcome() const { return outcome_; }
    // A time-out error once the idle or the whole-request limit has passed.
    std::optional<foundation::Error> expired(double now) const;
    // When expired() may next answer, in the same seconds as now.
    double nextDeadline() const;
    bool isPaused() const { return paused_; }
    void resumed(double now);
    // Reports the outcome (once) and lets go of the events and files.
    void finish(const std::optional<foundation::Error>& error);
    // Ends with only the abandoned event (cancelled, or the network stopped).
    void abandon();

private:
    struct Callbacks;  // libcurl's and OpenSSL's, in the source file
    friend struct Callbacks;

    std::optional<foundation::Error> configureHop();
    std::optional<foundation::Error> followRedirect();
    void headerBlockEnded();
    void fail(int64_t code, const std::string& detail = {});
    void closeFiles();
    double idleTimeout() const;
    double resourceTimeout() const;

    URLRequest request_;  // the current hop's request
    TransferEvents events_;
    ServerTrustHook hook_;
    std::optional<std::filesystem::path> downloadPath_;
    void* easy_ = nullptr;
    void* headerList_ = nullptr;
    char errorBuffer_[256] = {};
    int downloadFd_ = -1;
    int bodyFd_ = -1;
    uint64_t bodyOffset_ = 0;

    // The current hop.
    std::string host_;
    int port_ = 0;
    int status_ = 0;
    HeaderFields headers_;
    bool redirectPending_ = false;
    bool responseDelivered_ = false;
    int certificateError_ = 0;
    bool trustCancelled_ = false;

    // The whole request.
    int redirects_ = 0;
    uint64_t bodyBytes_ = 0;  // counted against the cap, redirect bodies included
    std::optional<foundation::Error> outcome_;
    double startTime_ = 0;
    double lastActivity_ = 0;
    bool paused_ = false;
    bool finished_ = false;
};

}  // namespace net
