#include "platform/net/URLConnection.h"

#include <condition_variable>

#include "platform/net/Engine.h"
#include "platform/net/Transfer.h"
#include "platform/net/URLError.h"

namespace net {

namespace {

// Body bytes waiting for a slow delegate before the transfer pauses; with the
// socket no longer read, the server is held back by TCP itself.
constexpr size_t kMaxPendingBytes = 4 * 1024 * 1024;
constexpr size_t kResumeBelowBytes = kMaxPendingBytes / 2;

}  // namespace

void URLConnectionDelegate::connectionDidReceiveResponse(URLConnection&, const HTTPURLResponse&) {}
void URLConnectionDelegate::connectionDidReceiveData(URLConnection&, const foundation::Data&) {}
void URLConnectionDelegate::connectionDidFinishLoading(URLConnection&) {}
void URLConnectionDelegate::connectionDidFailWithError(URLConnection&, const foundation::Error&) {}

std::shared_ptr<URLConnection> URLConnection::create(URLRequest request, std::shared_ptr<URLConnectionDelegate> delegate,
                                                     std::shared_ptr<dispatch::Queue> delegateQueue) {
    return std::shared_ptr<URLConnection>(
        new URLConnection(std::move(request), std::move(delegate), std::move(delegateQueue)));
}

URLConnection::URLConnection(URLRequest request, std::shared_ptr<URLConnectionDelegate> delegate,
                             std::shared_ptr<dispatch::Queue> delegateQueue)
    : request_(std::move(request)), queue_(std::move(delegateQueue)), delegate_(std::move(delegate)) {
    if (!queue_) queue_ = dispatch::Queue::createSerial("net.URLConnection");
}

URLConnection::~URLConnection() = default;

void URLConnection::setServerTrustHook(ServerTrustHook hook) { hook_ = std::move(hook); }
void URLConnection::setDownloadFile(std::filesystem::path path) { downloadFile_ = std::move(path); }

void URLConnection::start() {
    if (started_.exchange(true) || cancelled_) return;
    std::shared_ptr<URLConnection> self = shared_from_this();
    TransferEvents events;
    events.response = [self](const HTTPURLResponse& response) {
        self->enqueue({Event::Kind::Response, response, {}, {}});
    };
    events.data = [self](const uint8_t* bytes, size_t length) { return self->offerData(bytes, length); };
    events.complete = [self](const std::optional<foundation::Error>& error) {
        if (error)
            self->enqueue({Event::Kind::Fail, {}, {}, *error});
        else
            self->enqueue({Event::Kind::Finish, {}, {}, {}});
    };
    auto transfer = std::make_shared<Transfer>(request_, std::move(events));
    if (hook_) transfer->setServerTrustHook(hook_);
    if (downloadFile_) transfer->setDownloadFile(*downloadFile_);
    {
        std::lock_guard lock(mutex_);
        transfer_ = transfer;
    }
    Engine::shared().start(transfer);
}

void URLConnection::cancel() {
    if (cancelled_.exchange(true)) return;
    std::shared_ptr<Transfer> transfer;
    std::shared_ptr<URLConnectionDelegate> delegate;
    {
        std::lock_guard lock(mutex_);
        transfer = std::move(transfer_);
        events_.clear();
        pendingBytes_ = 0;
        delegate = std::move(delegate_);
    }
    if (transfer) Engine::shared().cancel(transfer);
    // The delegate is let go outside the lock: its destructor may call back in.
}

bool URLConnection::offerData(const uint8_t* bytes, size_t length) {
    {
        std::lock_guard lock(mutex_);
        if (cancelled_) return true;  // the transfer is being removed; drop the bytes
        if (pendingBytes_ >= kMaxPendingBytes) {
            transferPaused_ = true;
            return false;
        }
        pendingBytes_ += length;
    }
    enqueue({Event::Kind::Data, {}, foundation::Data(bytes, length), {}});
    return true;
}

void URLConnection::enqueue(Event event) {
    bool schedule = false;
    {
        std::lock_guard lock(mutex_);
        if (cancelled_) return;
        events_.push_back(std::move(event));
        schedule = !draining_;
        draining_ = true;
    }
    if (schedule) queue_->async([self = shared_from_this()] { self->drain(); });
}

void URLConnection::drain() {
    for (;;) {
        Event event;
        std::shared_ptr<URLConnectionDelegate> delegate;
        std::shared_ptr<Transfer> resume;
        {
            std::lock_guard lock(mutex_);
            if (events_.empty() || cancelled_) {
                draining_ = false;
                return;
            }
            event = std::move(events_.front());
            events_.pop_front();
            if (event.kind == Event::Kind::Data) {
                pendingBytes_ -= event.data.length();
                if (transferPaused_ && pendingBytes_ < kResumeBelowBytes) {
                    transferPaused_ = false;
                    resume = transfer_;
                }
            }
            delegate = delegate_;
            if (event.kind == Event::Kind::Finish || event.kind == Event::Kind::Fail) {
                delegate_.reset();
                transfer_.reset();
            }
        }
        if (resume) Engine::shared().resume(resume);
        if (!delegate) continue;
        switch (event.kind) {
        case Event::Kind::Response: delegate->connectionDidReceiveResponse(*this, event.response); break;
        case Event::Kind::Data: delegate->connectionDidReceiveData(*this, event.data); break;
        case Event::Kind::Finish: delegate->connectionDidFinishLoading(*this); break;
        case Event::Kind::Fail: delegate->connectionDidFailWithError(*this, event.error); break;
        }
    }
}

void URLConnection::sendDataRequest(const URLRequest& request, ServerTrustHook hook, DataCompletion onEnd) {
    struct State {
        std::optional<HTTPURLResponse> response;
        foundation::Data data;
    };
    // Events run one at a time on the network thread: the state needs no lock.
    auto state = std::make_shared<State>();
    auto end = std::make_shared<DataCompletion>(std::move(onEnd));
    std::string url = request.url();
    TransferEvents events;
    events.response = [state](const HTTPURLResponse& response) { state->response = response; };
    events.data = [state](const uint8_t* bytes, size_t length) {
        state->data.append(bytes, length);
        return true;
    };
    events.complete = [state, end, url](const std::optional<foundation::Error>& error) {
        if (error)
            (*end)(*error);
        else if (!state->response)
            (*end)(makeURLError(URLErrorBadServerResponse, url));
        else
            (*end)(DataResponse{std::move(*state->response), std::move(state->data)});
    };
    events.abandoned = [end, url] { (*end)(makeURLError(URLErrorCancelled, url, "the network stopped")); };
    auto transfer = std::make_shared<Transfer>(request, std::move(events));
    if (hook) transfer->setServerTrustHook(std::move(hook));
    Engine::shared().start(transfer);
}

void URLConnection::sendAsynchronousRequest(const URLRequest& request, std::shared_ptr<dispatch::Queue> queue,
                                            DataCompletion completion, ServerTrustHook hook) {
    if (!queue) queue = dispatch::Queue::global();
    auto shared = std::make_shared<DataCompletion>(std::move(completion));
    sendDataRequest(request, std::move(hook), [queue, shared](foundation::Result<DataResponse> result) {
        queue->async([shared, result = std::move(result)]() mutable { (*shared)(std::move(result)); });
    });
}

foundation::Result<DataResponse> URLConnection::sendSynchronousRequest(const URLRequest& request,
                                                                       ServerTrustHook hook) {
    if (Engine::shared().isNetworkThread())
        return makeURLError(URLErrorUnknown, request.url(), "a synchronous send on the network thread would wait for itself");
    struct State {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<foundation::Result<DataResponse>> result;
    };
    auto state = std::make_shared<State>();
    sendDataRequest(request, std::move(hook), [state](foundation::Result<DataResponse> result) {
        std::lock_guard lock(state->mutex);
        state->result = std::move(result);
        state->done.notify_all();
    });
    std::unique_lock lock(state->mutex);
    state->done.wait(lock, [&] { return state->result.has_value(); });
    return std::move(*state->result);
}

}  // namespace net
