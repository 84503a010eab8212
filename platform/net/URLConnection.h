#pragma once
// One request with delegate events: the response, the body in pieces, then
// either finish or failure, delivered in that order on the queue the caller
// names. The body can come from a file and go to a file, so neither is ever
// held whole. Create, configure and start from any thread; cancel from any
// thread, after which the delegate hears nothing more.
//
// A running connection keeps itself and its delegate alive until it ends.

#include <atomic>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/Result.h"
#include "platform/net/DataResponse.h"
#include "platform/net/HTTPURLResponse.h"
#include "platform/net/ServerTrustChallenge.h"
#include "platform/net/URLRequest.h"

namespace net {

class Transfer;
class URLConnection;

// Events of one connection, each on the connection's delegate queue, one at a
// time and in order.
class URLConnectionDelegate {
public:
    virtual ~URLConnectionDelegate() = default;
    virtual void connectionDidReceiveResponse(URLConnection& connection, const HTTPURLResponse& response);
    // Not called for a connection that downloads to a file.
    virtual void connectionDidReceiveData(URLConnection& connection, const foundation::Data& data);
    virtual void connectionDidFinishLoading(URLConnection& connection);
    virtual void connectionDidFailWithError(URLConnection& connection, const foundation::Error& error);
};

class URLConnection : public std::enable_shared_from_this<URLConnection> {
public:
    static std::shared_ptr<URLConnection> create(URLRequest request, std::shared_ptr<URLConnectionDelegate> delegate,
                                                 std::shared_ptr<dispatch::Queue> delegateQueue);
    ~URLConnection();
    URLConnection(const URLConnection&) = delete;
    URLConnection& operator=(const URLConnection&) = delete;

    // Before start: decides server trust in each handshake (see ServerTrustChallenge.h).
    void setServerTrustHook(ServerTrustHook hook);
    // Before start: the body is written to this file as it arrives (created
    // 0600, or truncated) instead of reaching the delegate as data.
    void setDownloadFile(std::filesystem::path path);

    void start();
    // No event follows once cancel returns, except one the delegate queue is
    // running at that moment.
    void cancel();

    const URLRequest& originalRequest() const { return request_; }
    const std::shared_ptr<dispatch::Queue>& delegateQueue() const { return queue_; }

    // Sends the request and waits for the whole answer; HTTP error statuses are
    // answers too, only transport failures are errors. Any thread but the
    // network thread; it needs no queue, so the main thread may block in it.
    // Should the network stop first (at exit), it returns a cancelled error.
    static foundation::Result<DataResponse> sendSynchronousRequest(const URLRequest& request,
                                                                   ServerTrustHook hook = {});
    // The same answer, handed to completion on queue (a global queue when
    // null) without any thread waiting for it meanwhile. Should the network
    // stop first (at exit), the answer is a cancelled error.
    using DataCompletion = std::function<void(foundation::Result<DataResponse>)>;
    static void sendAsynchronousRequest(const URLRequest& request, std::shared_ptr<dispatch::Queue> queue,
                                        DataCompletion completion, ServerTrustHook hook = {});

private:
    struct Event {
        enum class Kind { Response, Data, Finish, Fail } kind;
        HTTPURLResponse response;
        foundation::Data data;
        foundation::Error error;
    };

    URLConnection(URLRequest request, std::shared_ptr<URLConnectionDelegate> delegate,
                  std::shared_ptr<dispatch::Queue> delegateQueue);
    // Runs request collecting the whole answer; onEnd runs once, on the network thread.
    static void sendDataRequest(const URLRequest& request, ServerTrustHook hook, DataCompletion onEnd);
    bool offerData(const uint8_t* bytes, size_t length);  // network thread
    void enqueue(Event event);                            // network thread
    void drain();                                         // delegate queue

    URLRequest request_;
    std::shared_ptr<dispatch::Queue> queue_;
    ServerTrustHook hook_;
    std::optional<std::filesystem::path> downloadFile_;
    std::shared_ptr<Transfer> transfer_;
    std::atomic<bool> started_{false};
    std::atomic<bool> cancelled_{false};

    std::mutex mutex_;  // guards what follows
    std::shared_ptr<URLConnectionDelegate> delegate_;  // let go once the connection ends
    std::deque<Event> events_;
    bool draining_ = false;
    size_t pendingBytes_ = 0;  // data handed over but not yet delivered
    bool transferPaused_ = false;
};

}  // namespace net
