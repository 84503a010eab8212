#pragma once
// One request of a kit session. The base holds what every task has: the
// request, the response and error it ended with, the session it reports to
// (not held), whether the session's delegate hears of it, and its own serial
// queue "com.blackbox.URLSessionTask" on which all its events are handled.
// The base itself does nothing when started, resumed or cancelled.
//
// Any thread; response() and error() are settled once the task completes.

#include <memory>
#include <mutex>
#include <optional>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/Error.h"
#include "platform/net/HTTPURLResponse.h"
#include "platform/net/URLRequest.h"
#include "sdk/beacon/BBXURLSessionTaskDelegate.h"

class BBXURLSessionTask : public std::enable_shared_from_this<BBXURLSessionTask> {
public:
    static constexpr const char* kQueueLabel = "com.blackbox.URLSessionTask";

    static std::shared_ptr<BBXURLSessionTask> task();
    virtual ~BBXURLSessionTask();
    BBXURLSessionTask(const BBXURLSessionTask&) = delete;
    BBXURLSessionTask& operator=(const BBXURLSessionTask&) = delete;

    net::URLRequest originalRequest() const;
    void setOriginalRequest(net::URLRequest request);
    // Redirects are followed below this layer, so it is never set.
    std::optional<net::URLRequest> currentRequest() const { return std::nullopt; }
    std::optional<net::HTTPURLResponse> response() const;
    std::optional<foundation::Error> error() const;

    std::shared_ptr<BBXURLSessionTaskDelegate> delegate() const;
    void setDelegate(std::weak_ptr<BBXURLSessionTaskDelegate> delegate);
    bool invokesDelegate() const;
    void setInvokesDelegate(bool invokes);

    const std::shared_ptr<dispatch::Queue>& queue() const { return queue_; }

    virtual void start() {}
    virtual void resume() {}
    virtual void cancel() {}
    virtual void cleanup() {}

protected:
    BBXURLSessionTask();
    void setResponse(net::HTTPURLResponse response);
    void setError(foundation::Error error);

private:
    const std::shared_ptr<dispatch::Queue> queue_;
    mutable std::mutex mutex_;  // guards what follows
    net::URLRequest originalRequest_;
    std::optional<net::HTTPURLResponse> response_;
    std::optional<foundation::Error> error_;
    std::weak_ptr<BBXURLSessionTaskDelegate> delegate_;
    bool invokesDelegate_ = true;
};
