#pragma once
// A request of a URLSession whose answer, body included, goes to one handler
// on the session's queue. Any thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/foundation/Result.h"
#include "platform/net/DataResponse.h"
#include "platform/net/URLRequest.h"

namespace net {

class URLConnection;
class URLSession;

// Called exactly once: with the response and body, or with the error; a
// cancelled task reports URLErrorCancelled.
using DataTaskHandler = std::function<void(foundation::Result<DataResponse>)>;

class URLSessionDataTask : public std::enable_shared_from_this<URLSessionDataTask> {
public:
    enum class State { Suspended, Running, Completed };

    ~URLSessionDataTask();

    // Starts a new task; later calls do nothing.
    void resume();
    void cancel();

    State state() const { return state_.load(); }
    uint64_t taskIdentifier() const { return identifier_; }
    const URLRequest& originalRequest() const { return request_; }

private:
    friend class URLSession;
    class Collector;

    URLSessionDataTask(std::weak_ptr<URLSession> session, uint64_t identifier, URLRequest request,
                       DataTaskHandler handler);
    // Reports the outcome on the session's queue, once.
    void complete(foundation::Result<DataResponse> result);

    std::weak_ptr<URLSession> session_;
    const uint64_t identifier_;
    const URLRequest request_;
    std::atomic<State> state_{State::Suspended};
    std::mutex mutex_;
    DataTaskHandler handler_;  // taken by the single completion
    std::shared_ptr<URLConnection> connection_;
};

}  // namespace net
