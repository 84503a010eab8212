#include "sdk/beacon/BBXURLSession.h"

#include <cstdio>

#include "platform/foundation/URL.h"

namespace {
// Stands for the class object whose address names the default delegate queues.
const char kClassObject = 0;
}  // namespace

std::shared_ptr<BBXURLSession> BBXURLSession::sessionWithConfiguration(
    const std::shared_ptr<const BBXURLSessionConfiguration>& configuration) {
    return sessionWithConfiguration(configuration, nullptr, nullptr);
}

std::shared_ptr<BBXURLSession> BBXURLSession::sessionWithConfiguration(
    const std::shared_ptr<const BBXURLSessionConfiguration>& configuration,
    std::shared_ptr<BBXURLSessionDelegate> delegate, std::shared_ptr<dispatch::OperationQueue> delegateQueue) {
    if (!configuration) return nullptr;
    if (delegate && !delegateQueue) delegateQueue = newDefaultDelegateQueue();
    return std::shared_ptr<BBXURLSession>(
        new BBXURLSession(configuration->copy(), std::move(delegate), std::move(delegateQueue)));
}

std::shared_ptr<dispatch::OperationQueue> BBXURLSession::newDefaultDelegateQueue() {
    char name[64];
    std::snprintf(name, sizeof name, "%s %p", kClassName, static_cast<const void*>(&kClassObject));
    return dispatch::OperationQueue::create(name, 1);
}

BBXURLSession::BBXURLSession(std::shared_ptr<const BBXURLSessionConfiguration> configuration,
                             std::shared_ptr<BBXURLSessionDelegate> delegate,
                             std::shared_ptr<dispatch::OperationQueue> delegateQueue)
    : configuration_(std::move(configuration)),
      delegateQueue_(std::move(delegateQueue)),
      queue_(dispatch::Queue::createSerial(kQueueLabel)),
      delegate_(std::move(delegate)) {}

BBXURLSession::~BBXURLSession() = default;

template <class Task>
std::shared_ptr<Task> BBXURLSession::makeTask(const net::URLRequest& request, bool withHandler,
                                              const std::function<void(net::URLRequest&)>& block) {
    auto task = Task::task();
    // A handler takes the delegate's place for this task.
    if (withHandler) task->setInvokesDelegate(false);
    if (!configureTask(task, request, block)) return nullptr;
    return task;
}

std::shared_ptr<BBXURLSessionDataTask> BBXURLSession::dataTaskWithRequest(
    const net::URLRequest& request, BBXURLSessionDataTask::CompletionHandler handler) {
    bool withHandler = bool(handler);
    auto task = makeTask<BBXURLSessionDataTask>(request, withHandler);
    if (task && withHandler) task->setCompletionHandler(std::move(handler));
    return task;
}

std::shared_ptr<BBXURLSessionDataTask> BBXURLSession::dataTaskWithRequest(const net::URLRequest& request) {
    return dataTaskWithRequest(request, nullptr);
}

std::shared_ptr<BBXURLSessionUploadTask> BBXURLSession::uploadTaskWithRequest(
    const net::URLRequest& request, const std::filesystem::path& file,
    BBXURLSessionDataTask::CompletionHandler handler) {
    bool withHandler = bool(handler);
    // The body streams from the file as the connection reads it.
    auto task = makeTask<BBXURLSessionUploadTask>(request, withHandler,
                                                  [&file](net::URLRequest& r) { r.setHTTPBodyFile(file); });
    if (task && withHandler) task->setCompletionHandler(std::move(handler));
    return task;
}

std::shared_ptr<BBXURLSessionUploadTask> BBXURLSession::uploadTaskWithRequest(const net::URLRequest& request,
                                                                             const std::filesystem::path& file) {
    return uploadTaskWithRequest(request, file, nullptr);
}

std::shared_ptr<BBXURLSessionDownloadTask> BBXURLSession::downloadTaskWithRequest(
    const net::URLRequest& request, BBXURLSessionDownloadTask::CompletionHandler handler) {
    bool withHandler = bool(handler);
    auto task = makeTask<BBXURLSessionDownloadTask>(request, withHandler);
    if (task && withHandler) task->setDownloadCompletionHandler(std::move(handler));
    return task;
}

std::shared_ptr<BBXURLSessionDownloadTask> BBXURLSession::downloadTaskWithRequest(const net::URLRequest& request) {
    return downloadTaskWithRequest(request, nullptr);
}

std::shared_ptr<BBXURLSessionDownloadTask> BBXURLSession::downloadTaskWithURL(const std::string& url) {
    return downloadTaskWithRequest(net::URLRequest(url));
}

bool BBXURLSession::configureTask(const std::shared_ptr<BBXURLSessionTask>& task, const net::URLRequest& request,
                                  const std::function<void(net::URLRequest&)>& block) {
    net::URLRequest mutableRequest = request;
    bool added = false;
    queue_->sync([&] {
        if (invalidated_) return;
        tasks_.insert(task);
        added = true;
        for (const auto& [name, value] : configuration_->HTTPAdditionalHeaders().fields())
            mutableRequest.addValue(name, value);
    });
    if (!added) return false;
    if (block) block(mutableRequest);
    // Kit requests carry the API key and developer token: one sent to an https
    // endpoint is never redirected into the clear.
    auto url = foundation::URL::parse(mutableRequest.url());
    if (url && url->scheme() == "https") mutableRequest.setAllowedSchemes({"https"});
    task->setOriginalRequest(std::move(mutableRequest));
    task->setDelegate(std::static_pointer_cast<BBXURLSessionTaskDelegate>(shared_from_this()));
    return true;
}

void BBXURLSession::removeTaskFromSet(const std::shared_ptr<BBXURLSessionTask>& task) {
    queue_->async([self = shared_from_this(), task] { self->tasks_.erase(task); });
}

size_t BBXURLSession::taskCount() const {
    size_t count = 0;
    queue_->sync([&] { count = tasks_.size(); });
    return count;
}

std::shared_ptr<BBXURLSessionDelegate> BBXURLSession::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_;
}

std::string BBXURLSession::sessionDescription() const {
    std::lock_guard lock(mutex_);
    return description_;
}

void BBXURLSession::setSessionDescription(std::string description) {
    std::lock_guard lock(mutex_);
    description_ = std::move(description);
}

std::shared_ptr<BBXURLSessionDelegate> BBXURLSession::shouldInvokeDelegateForTask(const BBXURLSessionTask& task) const {
    if (!task.invokesDelegate()) return nullptr;
    return delegate();
}

void BBXURLSession::invalidateAndCancel() {
    queue_->sync([this] {
        invalidated_ = true;
        // Each task completes on its own queue and is removed afterwards.
        for (const auto& task : tasks_) task->cancel();
    });
    std::shared_ptr<BBXURLSessionDelegate> delegate;
    {
        std::lock_guard lock(mutex_);
        delegate.swap(delegate_);
    }
    // The delegate goes outside the lock: its destructor may call in again.
}

void BBXURLSession::finishTasksAndInvalidate() {
    queue_->sync([this] { invalidated_ = true; });
    std::shared_ptr<BBXURLSessionDelegate> delegate;
    {
        std::lock_guard lock(mutex_);
        delegate.swap(delegate_);
    }
}

void BBXURLSession::getTasksWithCompletionHandler(TasksHandler handler) {
    if (!handler) return;
    auto call = [handler = std::move(handler)] { handler({}, {}, {}); };
    // A session made without a delegate has no queue: the handler still runs.
    if (delegateQueue_)
        delegateQueue_->addOperation(std::move(call));
    else
        dispatch::Queue::global()->async(std::move(call));
}

void BBXURLSession::taskDidReceiveResponse(BBXURLSessionTask& task, const net::HTTPURLResponse& response) {
    auto delegate = shouldInvokeDelegateForTask(task);
    auto dataTask = std::dynamic_pointer_cast<BBXURLSessionDataTask>(task.shared_from_this());
    if (!delegate || !dataTask) return;
    delegateQueue_->addOperation([self = shared_from_this(), delegate, dataTask, response] {
        delegate->URLSessionDataTaskDidReceiveResponse(*self, *dataTask, response, [](int) {});
    });
}

void BBXURLSession::taskDidReceiveData(BBXURLSessionTask& task, const foundation::Data& data) {
    auto delegate = shouldInvokeDelegateForTask(task);
    auto dataTask = std::dynamic_pointer_cast<BBXURLSessionDataTask>(task.shared_from_this());
    if (!delegate || !dataTask) return;
    delegateQueue_->addOperation([self = shared_from_this(), delegate, dataTask, data] {
        delegate->URLSessionDataTaskDidReceiveData(*self, *dataTask, data);
    });
}

void BBXURLSession::downloadTaskDidFinishDownloadingToURL(BBXURLSessionDownloadTask& task,
                                                          const std::filesystem::path& location) {
    auto delegate = shouldInvokeDelegateForTask(task);
    if (!delegate) {
        task.cleanup();
        return;
    }
    auto downloadTask = std::static_pointer_cast<BBXURLSessionDownloadTask>(task.shared_from_this());
    delegateQueue_->addOperation([self = shared_from_this(), delegate, downloadTask, location] {
        delegate->URLSessionDownloadTaskDidFinishDownloadingToURL(*self, *downloadTask, location);
        downloadTask->cleanup();
    });
}

void BBXURLSession::taskDidCompleteWithError(BBXURLSessionTask& task, const std::optional<foundation::Error>& error) {
    auto delegate = shouldInvokeDelegateForTask(task);
    auto shared = task.shared_from_this();
    if (!delegate) {
        removeTaskFromSet(shared);
        return;
    }
    delegateQueue_->addOperation([self = shared_from_this(), delegate, shared, error] {
        delegate->URLSessionTaskDidCompleteWithError(*self, *shared, error);
        self->removeTaskFromSet(shared);
    });
}

void BBXURLSession::taskDidReceiveChallenge(BBXURLSessionTask&, const net::ServerTrustChallenge& challenge,
                                            std::function<void(net::AuthChallengeDisposition)> completion) {
    // Asked of the delegate whether or not the task reports to it.
    auto delegate = this->delegate();
    if (!delegate) {
        completion(net::AuthChallengeDisposition::PerformDefaultHandling);
        return;
    }
    delegateQueue_->addOperation([self = shared_from_this(), delegate, challenge, completion] {
        delegate->URLSessionDidReceiveChallenge(*self, challenge, completion);
    });
}
