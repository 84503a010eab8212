#include "platform/net/URLSession.h"

#include <vector>

namespace net {

std::shared_ptr<URLSession> URLSession::shared() {
    static std::shared_ptr<URLSession> session = create({}, dispatch::Queue::createSerial("net.URLSession.shared"));
    return session;
}

std::shared_ptr<URLSession> URLSession::create(Configuration configuration, std::shared_ptr<dispatch::Queue> delegateQueue) {
    if (!delegateQueue) delegateQueue = dispatch::Queue::createSerial("net.URLSession");
    return std::shared_ptr<URLSession>(new URLSession(std::move(configuration), std::move(delegateQueue)));
}

URLSession::URLSession(Configuration configuration, std::shared_ptr<dispatch::Queue> queue)
    : configuration_(std::move(configuration)), queue_(std::move(queue)) {}

std::shared_ptr<URLSessionDataTask> URLSession::dataTask(URLRequest request, DataTaskHandler handler) {
    for (const auto& [name, value] : configuration_.additionalHeaders.fields())
        if (!request.allHTTPHeaderFields().contains(name)) request.setValue(name, value);
    uint64_t identifier;
    {
        std::lock_guard lock(mutex_);
        identifier = nextIdentifier_++;
    }
    return std::shared_ptr<URLSessionDataTask>(
        new URLSessionDataTask(weak_from_this(), identifier, std::move(request), std::move(handler)));
}

std::shared_ptr<URLSessionDataTask> URLSession::dataTask(const std::string& url, DataTaskHandler handler) {
    return dataTask(URLRequest(url), std::move(handler));
}

void URLSession::setServerTrustHook(ServerTrustHook hook) {
    std::lock_guard lock(mutex_);
    hook_ = std::move(hook);
}

ServerTrustHook URLSession::serverTrustHook() const {
    std::lock_guard lock(mutex_);
    return hook_;
}

bool URLSession::taskStarted(const std::shared_ptr<URLSessionDataTask>& task) {
    std::lock_guard lock(mutex_);
    if (invalidated_) return false;
    running_[task->taskIdentifier()] = task;
    return true;
}

void URLSession::taskEnded(uint64_t identifier) {
    std::lock_guard lock(mutex_);
    running_.erase(identifier);
}

void URLSession::invalidateAndCancel() {
    std::vector<std::shared_ptr<URLSessionDataTask>> tasks;
    {
        std::lock_guard lock(mutex_);
        invalidated_ = true;
        for (auto& [identifier, weak] : running_)
            if (auto task = weak.lock()) tasks.push_back(task);
    }
    for (auto& task : tasks) task->cancel();
}

void URLSession::finishTasksAndInvalidate() {
    std::lock_guard lock(mutex_);
    invalidated_ = true;
}

bool URLSession::isInvalidated() const {
    std::lock_guard lock(mutex_);
    return invalidated_;
}

}  // namespace net
