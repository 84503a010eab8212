#include "platform/net/URLSessionDataTask.h"

#include "platform/net/URLConnection.h"
#include "platform/net/URLError.h"
#include "platform/net/URLSession.h"

namespace net {

// Gathers one connection's events into the task's single outcome.
class URLSessionDataTask::Collector final : public URLConnectionDelegate {
public:
    explicit Collector(std::shared_ptr<URLSessionDataTask> task) : task_(std::move(task)) {}

    void connectionDidReceiveResponse(URLConnection&, const HTTPURLResponse& response) override {
        reply_.response = response;
    }
    void connectionDidReceiveData(URLConnection&, const foundation::Data& data) override {
        reply_.data.append(data.bytes(), data.length());
    }
    void connectionDidFinishLoading(URLConnection&) override { task_->complete(std::move(reply_)); }
    void connectionDidFailWithError(URLConnection&, const foundation::Error& error) override { task_->complete(error); }

private:
    std::shared_ptr<URLSessionDataTask> task_;
    DataResponse reply_;
};

URLSessionDataTask::URLSessionDataTask(std::weak_ptr<URLSession> session, uint64_t identifier, URLRequest request,
                                       DataTaskHandler handler)
    : session_(std::move(session)), identifier_(identifier), request_(std::move(request)), handler_(std::move(handler)) {}

URLSessionDataTask::~URLSessionDataTask() = default;

void URLSessionDataTask::resume() {
    State expected = State::Suspended;
    if (!state_.compare_exchange_strong(expected, State::Running)) return;
    std::shared_ptr<URLSession> session = session_.lock();
    if (!session || !session->taskStarted(shared_from_this())) {
        complete(makeURLError(URLErrorCancelled, request_.url(), "the session is invalidated"));
        return;
    }
    // The connection's events run on the session's queue, so the handler does too.
    auto connection = URLConnection::create(request_, std::make_shared<Collector>(shared_from_this()),
                                            session->delegateQueue());
    if (ServerTrustHook hook = session->serverTrustHook()) connection->setServerTrustHook(std::move(hook));
    {
        std::lock_guard lock(mutex_);
        connection_ = connection;
    }
    connection->start();
}

void URLSessionDataTask::cancel() {
    std::shared_ptr<URLConnection> connection;
    {
        std::lock_guard lock(mutex_);
        connection = connection_;
    }
    if (connection) connection->cancel();
    complete(makeURLError(URLErrorCancelled, request_.url()));
}

void URLSessionDataTask::complete(foundation::Result<DataResponse> result) {
    DataTaskHandler handler;
    std::shared_ptr<URLSession> session = session_.lock();
    {
        std::lock_guard lock(mutex_);
        if (state_ == State::Completed) return;
        state_ = State::Completed;
        handler = std::move(handler_);
        handler_ = nullptr;
        connection_.reset();
    }
    if (session) session->taskEnded(identifier_);
    if (!handler) return;
    std::shared_ptr<dispatch::Queue> queue = session ? session->delegateQueue() : dispatch::Queue::global();
    if (queue->isCurrent()) {
        handler(std::move(result));
    } else {
        queue->async([handler = std::move(handler), result = std::move(result)]() mutable { handler(std::move(result)); });
    }
}

}  // namespace net
