#include "sdk/beacon/BBXURLSessionDataTask.h"

#include <chrono>
#include <condition_variable>

#include "platform/net/URLError.h"

// A server-trust question waiting for the session's answer. The answer may come
// from the delegate queue, from cancel(), or never (the wait is bounded).
struct BBXURLSessionDataTask::PendingChallenge {
    std::mutex mutex;
    std::condition_variable answered;
    std::optional<net::AuthChallengeDisposition> disposition;

    void answer(net::AuthChallengeDisposition d) {
        std::lock_guard lock(mutex);
        if (disposition) return;
        disposition = d;
        answered.notify_all();
    }

    std::optional<net::AuthChallengeDisposition> wait(double seconds) {
        std::unique_lock lock(mutex);
        answered.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return disposition.has_value(); });
        return disposition;
    }
};

std::shared_ptr<BBXURLSessionDataTask> BBXURLSessionDataTask::task() {
    return std::shared_ptr<BBXURLSessionDataTask>(new BBXURLSessionDataTask());
}

BBXURLSessionDataTask::BBXURLSessionDataTask() = default;
BBXURLSessionDataTask::~BBXURLSessionDataTask() = default;

BBXURLSessionDataTask::CompletionHandler BBXURLSessionDataTask::completionHandler() const {
    std::lock_guard lock(stateMutex_);
    return handler_;
}

void BBXURLSessionDataTask::setCompletionHandler(CompletionHandler handler) {
    std::lock_guard lock(stateMutex_);
    handler_ = std::move(handler);
}

std::shared_ptr<net::URLConnection> BBXURLSessionDataTask::connection() const {
    std::lock_guard lock(stateMutex_);
    return connection_;
}

std::string BBXURLSessionDataTask::taskDescription() const {
    std::lock_guard lock(stateMutex_);
    return description_;
}

void BBXURLSessionDataTask::setTaskDescription(std::string description) {
    std::lock_guard lock(stateMutex_);
    description_ = std::move(description);
}

void BBXURLSessionDataTask::resume() {
    {
        std::lock_guard lock(stateMutex_);
        if (resumed_ || cancelled_ || completed_) return;
        resumed_ = true;
    }
    auto self = std::static_pointer_cast<BBXURLSessionDataTask>(shared_from_this());
    queue()->async([self] {
        std::shared_ptr<net::URLConnection> connection;
        {
            std::lock_guard lock(self->stateMutex_);
            if (self->cancelled_ || self->connection_) return;
            connection = net::URLConnection::create(self->originalRequest(),
                                                    std::shared_ptr<net::URLConnectionDelegate>(self, self.get()),
                                                    self->queue());
            self->connection_ = connection;
        }
        // The hook holds the task weakly: the connection must not keep it.
        std::weak_ptr<BBXURLSessionTask> weak = self;
        connection->setServerTrustHook([weak](const net::ServerTrustChallenge& challenge) {
            auto task = std::static_pointer_cast<BBXURLSessionDataTask>(weak.lock());
            return task ? task->answerChallenge(challenge) : net::AuthChallengeDisposition::CancelAuthenticationChallenge;
        });
        self->configureConnection(*connection);
        connection->start();
    });
}

void BBXURLSessionDataTask::cancel() {
    std::shared_ptr<net::URLConnection> connection;
    std::shared_ptr<PendingChallenge> challenge;
    {
        std::lock_guard lock(stateMutex_);
        if (cancelled_ || completed_) return;
        cancelled_ = true;
        connection = connection_;
        challenge = pendingChallenge_;
    }
    if (challenge) challenge->answer(net::AuthChallengeDisposition::CancelAuthenticationChallenge);
    if (connection) connection->cancel();
    // The connection reports nothing more; the task itself completes, after any
    // event the queue is running now (which may have completed it already).
    auto self = std::static_pointer_cast<BBXURLSessionDataTask>(shared_from_this());
    queue()->async([self] { self->finish(net::makeURLError(net::URLErrorCancelled, self->originalRequest().url())); });
}

net::AuthChallengeDisposition BBXURLSessionDataTask::answerChallenge(const net::ServerTrustChallenge& challenge) {
    auto session = delegate();
    if (!session) return net::AuthChallengeDisposition::PerformDefaultHandling;
    auto pending = std::make_shared<PendingChallenge>();
    {
        std::lock_guard lock(stateMutex_);
        if (cancelled_) return net::AuthChallengeDisposition::CancelAuthenticationChallenge;
        pendingChallenge_ = pending;
    }
    session->taskDidReceiveChallenge(*this, challenge,
                                     [pending](net::AuthChallengeDisposition d) { pending->answer(d); });
    auto disposition = pending->wait(originalRequest().timeoutInterval());
    {
        std::lock_guard lock(stateMutex_);
        if (pendingChallenge_ == pending) pendingChallenge_.reset();
    }
    // No answer within the time-out refuses the handshake.
    return disposition.value_or(net::AuthChallengeDisposition::CancelAuthenticationChallenge);
}

void BBXURLSessionDataTask::connectionDidReceiveResponse(net::URLConnection&, const net::HTTPURLResponse& response) {
    if (auto session = delegate()) session->taskDidReceiveResponse(*this, response);
    setResponse(response);
}

void BBXURLSessionDataTask::connectionDidReceiveData(net::URLConnection&, const foundation::Data& data) {
    if (!received_) received_.emplace();
    received_->append(data.bytes(), data.length());
    if (auto session = delegate()) session->taskDidReceiveData(*this, data);
}

void BBXURLSessionDataTask::connectionDidFinishLoading(net::URLConnection&) { finish(std::nullopt); }

void BBXURLSessionDataTask::connectionDidFailWithError(net::URLConnection&, const foundation::Error& error) {
    finish(errorForConnectionFailure(error));
}

void BBXURLSessionDataTask::finish(std::optional<foundation::Error> error) {
    {
        std::lock_guard lock(stateMutex_);
        if (completed_) return;
        completed_ = true;
    }
    if (error) setError(std::move(*error));
    complete();
}

void BBXURLSessionDataTask::complete() {
    CompletionHandler handler;
    {
        // Let go of the handler with the call: what it holds must not outlive the task's end.
        std::lock_guard lock(stateMutex_);
        handler.swap(handler_);
    }
    auto error = this->error();
    if (handler) handler(received_, response(), error);
    if (auto session = delegate()) session->taskDidCompleteWithError(*this, error);
}
