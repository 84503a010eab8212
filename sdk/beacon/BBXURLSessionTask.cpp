#include "sdk/beacon/BBXURLSessionTask.h"

std::shared_ptr<BBXURLSessionTask> BBXURLSessionTask::task() {
    return std::shared_ptr<BBXURLSessionTask>(new BBXURLSessionTask());
}

BBXURLSessionTask::BBXURLSessionTask() : queue_(dispatch::Queue::createSerial(kQueueLabel)) {}
BBXURLSessionTask::~BBXURLSessionTask() = default;

net::URLRequest BBXURLSessionTask::originalRequest() const {
    std::lock_guard lock(mutex_);
    return originalRequest_;
}

void BBXURLSessionTask::setOriginalRequest(net::URLRequest request) {
    std::lock_guard lock(mutex_);
    originalRequest_ = std::move(request);
}

std::optional<net::HTTPURLResponse> BBXURLSessionTask::response() const {
    std::lock_guard lock(mutex_);
    return response_;
}

void BBXURLSessionTask::setResponse(net::HTTPURLResponse response) {
    std::lock_guard lock(mutex_);
    response_ = std::move(response);
}

std::optional<foundation::Error> BBXURLSessionTask::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

void BBXURLSessionTask::setError(foundation::Error error) {
    std::lock_guard lock(mutex_);
    error_ = std::move(error);
}

std::shared_ptr<BBXURLSessionTaskDelegate> BBXURLSessionTask::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

void BBXURLSessionTask::setDelegate(std::weak_ptr<BBXURLSessionTaskDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

bool BBXURLSessionTask::invokesDelegate() const {
    std::lock_guard lock(mutex_);
    return invokesDelegate_;
}

void BBXURLSessionTask::setInvokesDelegate(bool invokes) {
    std::lock_guard lock(mutex_);
    invokesDelegate_ = invokes;
}
