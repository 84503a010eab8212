#pragma once
// Every kit request goes through here: data and download tasks on a kit
// session, outcomes judged by BCNNetworkResponseHandler, retryable ones
// (server trouble, rate limits, time-outs) started again after a jittered,
// growing wait, and server certificates checked against pinned roots when the
// client has any (unless Beacon's debug flag is set).
//
// Each start ends in exactly one call of its handler: the outcome, the final
// error, "BCNNetworkError" -3 when the session makes no task (it has been
// invalidated) or -6 when the retries are used up (then without data or
// response). Handlers run on a task's queue; callers assume no particular one.
//
// The session holds the client as its delegate and the client holds the
// session, until invalidateAndCancel() ends the session; a dropped client
// then goes once its last chain has ended. Any thread.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/dispatch/OperationQueue.h"
#include "platform/dispatch/Queue.h"
#include "platform/net/Certificate.h"
#include "platform/net/URLRequest.h"
#include "sdk/beacon/BBXURLSession.h"
#include "sdk/beacon/BBXURLSessionDelegate.h"
#include "sdk/beacon/BCNCertificatePinner.h"

class BCNNetworkClient : public BBXURLSessionDelegate, public std::enable_shared_from_this<BCNNetworkClient> {
public:
    using DataCompletionHandler = BBXURLSessionDataTask::CompletionHandler;
    using DownloadCompletionHandler = BBXURLSessionDownloadTask::CompletionHandler;

    static constexpr unsigned kDefaultRetryLimit = 10;
    // The jitter's bounds: the single-precision 0.9 and 1.1, widened.
    static constexpr double kJitterMin = double(0.9f);
    static constexpr double kJitterMax = double(1.1f);
    // The longest single wait, in seconds. The wait grows as a power of
    // "Retry-After", which would otherwise reach months within three repeats.
    static constexpr double kMaxRetryDelay = 3600;

    // No pinning, a delegate queue of the session's own.
    static std::shared_ptr<BCNNetworkClient> create();
    static std::shared_ptr<BCNNetworkClient> create(std::shared_ptr<dispatch::OperationQueue> queue);
    // With certificates (even none), servers must chain to one of them.
    static std::shared_ptr<BCNNetworkClient> create(std::shared_ptr<dispatch::OperationQueue> queue,
                                                    std::optional<std::vector<net::Certificate>> pinnedCertificates);
    // Null when no session can be made.
    static std::shared_ptr<BCNNetworkClient> create(std::shared_ptr<const BBXURLSessionConfiguration> configuration,
                                                    std::shared_ptr<dispatch::OperationQueue> queue,
                                                    std::optional<std::vector<net::Certificate>> pinnedCertificates);
    ~BCNNetworkClient() override;

    const std::shared_ptr<BBXURLSession>& session() const { return session_; }
    const std::shared_ptr<const BCNCertificatePinner>& certPinner() const { return certPinner_; }

    // A limit of N allows N repeats after the first attempt.
    void startDataTaskWithRequest(const net::URLRequest& request, unsigned retryLimit, DataCompletionHandler handler);
    void startDataTaskWithRequest(const net::URLRequest& request, DataCompletionHandler handler);
    void startDownloadTaskWithRequest(const net::URLRequest& request, unsigned retryLimit,
                                      DownloadCompletionHandler handler);
    void startDownloadTaskWithRequest(const net::URLRequest& request, DownloadCompletionHandler handler);
    // Cancels the running tasks (their chains end with the cancellation) and
    // ends the session: chains waiting to repeat end with -3.
    void invalidateAndCancel();

    void URLSessionDidReceiveChallenge(BBXURLSession& session, const net::ServerTrustChallenge& challenge,
                                       ChallengeCompletionHandler completionHandler) override;
    void URLSessionDidBecomeInvalidWithError(BBXURLSession&, const std::optional<foundation::Error>&) override {}

    // The wait before repeat number retryCount + 1, in seconds:
    // max(2, Retry-After) to the power max(1, retryCount), times the jitter,
    // at most kMaxRetryDelay.
    double computeDelayForResponse(const std::optional<net::HTTPURLResponse>& response, unsigned retryCount) const;
    // Uniform in [kJitterMin, kJitterMax).
    double generateRandomJitter() const;
    // Uniform in [min, max), from a generator of the calling thread's own.
    static double randomDoubleWithMin(double min, double max);
    // Submits block to the default global queue (or queue) after that wait.
    void runAfterRetryValueFromResponse(const std::optional<net::HTTPURLResponse>& response, unsigned attempts,
                                        dispatch::Block block) const;
    void runAfterRetryValueFromResponse(const std::optional<net::HTTPURLResponse>& response, unsigned attempts,
                                        std::shared_ptr<dispatch::Queue> queue, dispatch::Block block) const;

    // Tests: every jitter comes from source instead (1 makes the waits exact).
    void setJitterSourceForTesting(std::function<double()> source);

private:
    template <class Payload>
    using Handler = std::function<void(const std::optional<Payload>&, const std::optional<net::HTTPURLResponse>&,
                                       const std::optional<foundation::Error>&)>;

    explicit BCNNetworkClient(std::optional<std::vector<net::Certificate>> pinnedCertificates);
    template <class Payload>
    void startTask(const net::URLRequest& request, unsigned retryLimit, unsigned tries, Handler<Payload> handler);
    std::shared_ptr<BBXURLSessionTask> makeTask(const net::URLRequest& request, Handler<foundation::Data> handler);
    std::shared_ptr<BBXURLSessionTask> makeTask(const net::URLRequest& request,
                                                Handler<std::filesystem::path> handler);

    std::shared_ptr<BBXURLSession> session_;
    const std::shared_ptr<const BCNCertificatePinner> certPinner_;
    mutable std::mutex jitterMutex_;
    std::function<double()> jitterSource_;
};
