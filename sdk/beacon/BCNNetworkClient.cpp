#include "sdk/beacon/BCNNetworkClient.h"

#include <algorithm>
#include <cmath>
#include <random>

#include "sdk/beacon/BCNNetworkResponseHandler.h"
#include "sdk/beacon/Beacon.h"

std::shared_ptr<BCNNetworkClient> BCNNetworkClient::create() { return create(nullptr); }

std::shared_ptr<BCNNetworkClient> BCNNetworkClient::create(std::shared_ptr<dispatch::OperationQueue> queue) {
    return create(std::move(queue), std::nullopt);
}

std::shared_ptr<BCNNetworkClient> BCNNetworkClient::create(
    std::shared_ptr<dispatch::OperationQueue> queue, std::optional<std::vector<net::Certificate>> pinnedCertificates) {
    return create(BBXURLSessionConfiguration::defaultSessionConfiguration(), std::move(queue),
                  std::move(pinnedCertificates));
}

std::shared_ptr<BCNNetworkClient> BCNNetworkClient::create(
    std::shared_ptr<const BBXURLSessionConfiguration> configuration, std::shared_ptr<dispatch::OperationQueue> queue,
    std::optional<std::vector<net::Certificate>> pinnedCertificates) {
    auto client = std::shared_ptr<BCNNetworkClient>(new BCNNetworkClient(std::move(pinnedCertificates)));
    client->session_ = BBXURLSession::sessionWithConfiguration(configuration, client, std::move(queue));
    if (!client->session_) return nullptr;
    return client;
}

BCNNetworkClient::BCNNetworkClient(std::optional<std::vector<net::Certificate>> pinnedCertificates)
    : certPinner_(pinnedCertificates ? std::make_shared<const BCNCertificatePinner>(std::move(*pinnedCertificates))
                                     : nullptr) {}

BCNNetworkClient::~BCNNetworkClient() {
    if (session_) session_->finishTasksAndInvalidate();
}

void BCNNetworkClient::startDataTaskWithRequest(const net::URLRequest& request, unsigned retryLimit,
                                                DataCompletionHandler handler) {
    startTask<foundation::Data>(request, retryLimit, 0, std::move(handler));
}

void BCNNetworkClient::startDataTaskWithRequest(const net::URLRequest& request, DataCompletionHandler handler) {
    startDataTaskWithRequest(request, kDefaultRetryLimit, std::move(handler));
}

void BCNNetworkClient::startDownloadTaskWithRequest(const net::URLRequest& request, unsigned retryLimit,
                                                    DownloadCompletionHandler handler) {
    startTask<std::filesystem::path>(request, retryLimit, 0, std::move(handler));
}

void BCNNetworkClient::startDownloadTaskWithRequest(const net::URLRequest& request,
                                                    DownloadCompletionHandler handler) {
    startDownloadTaskWithRequest(request, kDefaultRetryLimit, std::move(handler));
}

void BCNNetworkClient::invalidateAndCancel() { session_->invalidateAndCancel(); }

std::shared_ptr<BBXURLSessionTask> BCNNetworkClient::makeTask(const net::URLRequest& request,
                                                              Handler<foundation::Data> handler) {
    return session_->dataTaskWithRequest(request, std::move(handler));
}

std::shared_ptr<BBXURLSessionTask> BCNNetworkClient::makeTask(const net::URLRequest& request,
                                                              Handler<std::filesystem::path> handler) {
    return session_->downloadTaskWithRequest(request, std::move(handler));
}

template <class Payload>
void BCNNetworkClient::startTask(const net::URLRequest& request, unsigned retryLimit, unsigned tries,
                                 Handler<Payload> handler) {
    auto self = shared_from_this();
    auto onCompletion = [self, request, retryLimit, tries, handler](const std::optional<Payload>& payload,
                                                                     const std::optional<net::HTTPURLResponse>& response,
                                                                     const std::optional<foundation::Error>& error) {
        BCNNetworkResponseHandler::handleCompletedResponse(
            response, request, error, [&](bool retry, const std::optional<foundation::Error>& verdict) {
                if (!retry) {
                    handler(payload, response, verdict);
                } else if (tries >= retryLimit) {
                    handler(std::nullopt, std::nullopt,
                            BCNNetworkResponseHandler::errorForCode(BCNNetworkResponseHandler::RetryLimitReached));
                } else {
                    self->runAfterRetryValueFromResponse(response, tries, [self, request, retryLimit, tries, handler] {
                        self->startTask<Payload>(request, retryLimit, tries + 1, handler);
                    });
                }
            });
    };
    auto task = makeTask(request, Handler<Payload>(std::move(onCompletion)));
    if (!task) {
        handler(std::nullopt, std::nullopt, BCNNetworkResponseHandler::errorForCode(BCNNetworkResponseHandler::NoTask));
        return;
    }
    task->resume();
}

void BCNNetworkClient::URLSessionDidReceiveChallenge(BBXURLSession& session, const net::ServerTrustChallenge& challenge,
                                                     ChallengeCompletionHandler completionHandler) {
    if (!certPinner_ || Beacon::sharedSDK()->debug()) {
        completionHandler(net::AuthChallengeDisposition::PerformDefaultHandling);
        return;
    }
    certPinner_->handleChallenge(challenge, &session, completionHandler);
}

double BCNNetworkClient::computeDelayForResponse(const std::optional<net::HTTPURLResponse>& response,
                                                 unsigned retryCount) const {
    double base = std::max(2.0, BCNNetworkResponseHandler::retryValueForResponse(response));
    double exponent = retryCount == 0 ? 1 : retryCount;
    double delay = std::pow(base, exponent) * generateRandomJitter();
    return std::min(delay, kMaxRetryDelay);
}

double BCNNetworkClient::generateRandomJitter() const {
    {
        std::lock_guard lock(jitterMutex_);
        if (jitterSource_) return jitterSource_();
    }
    return randomDoubleWithMin(kJitterMin, kJitterMax);
}

double BCNNetworkClient::randomDoubleWithMin(double min, double max) {
    thread_local std::mt19937_64 generator{std::random_device{}()};
    std::uniform_real_distribution<double> distribution(min, max);
    // The distribution may round up to max itself; the range excludes it.
    for (;;) {
        double value = distribution(generator);
        if (value < max || min >= max) return value;
    }
}

void BCNNetworkClient::runAfterRetryValueFromResponse(const std::optional<net::HTTPURLResponse>& response,
                                                      unsigned attempts, dispatch::Block block) const {
    runAfterRetryValueFromResponse(response, attempts, dispatch::Queue::global(), std::move(block));
}

void BCNNetworkClient::runAfterRetryValueFromResponse(const std::optional<net::HTTPURLResponse>& response,
                                                      unsigned attempts, std::shared_ptr<dispatch::Queue> queue,
                                                      dispatch::Block block) const {
    dispatch::after(computeDelayForResponse(response, attempts), std::move(queue), std::move(block));
}

void BCNNetworkClient::setJitterSourceForTesting(std::function<double()> source) {
    std::lock_guard lock(jitterMutex_);
    jitterSource_ = std::move(source);
}
