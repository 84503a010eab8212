#pragma once
// A small URL session for the application's own requests: data tasks whose
// handlers run on the session's queue, additional headers for every task, and
// an optional server-trust hook. No cookies, no cache, nothing that outlives
// the process. Any thread.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "platform/dispatch/Queue.h"
#include "platform/net/HeaderFields.h"
#include "platform/net/ServerTrustChallenge.h"
#include "platform/net/URLSessionDataTask.h"

namespace net {

class URLSession : public std::enable_shared_from_this<URLSession> {
public:
    struct Configuration {
        // Added to each task's request at creation, where the request lacks the field.
        HeaderFields additionalHeaders;
    };

    // Handlers run on its own serial queue.
    static std::shared_ptr<URLSession> shared();
    // A null queue gives the session a serial queue of its own.
    static std::shared_ptr<URLSession> create(Configuration configuration,
                                              std::shared_ptr<dispatch::Queue> delegateQueue = nullptr);

    // A task not yet started: call resume().
    std::shared_ptr<URLSessionDataTask> dataTask(URLRequest request, DataTaskHandler handler);
    std::shared_ptr<URLSessionDataTask> dataTask(const std::string& url, DataTaskHandler handler);

    // Before tasks are made; applies to tasks made afterwards.
    void setServerTrustHook(ServerTrustHook hook);
    ServerTrustHook serverTrustHook() const;

    // Cancels every running task (each reports cancelled) and takes no more.
    void invalidateAndCancel();
    // Running tasks go on; no new ones are taken.
    void finishTasksAndInvalidate();
    bool isInvalidated() const;

    const std::shared_ptr<dispatch::Queue>& delegateQueue() const { return queue_; }
    const Configuration& configuration() const { return configuration_; }

private:
    friend class URLSessionDataTask;

    URLSession(Configuration configuration, std::shared_ptr<dispatch::Queue> queue);
    // False once the session is invalidated: the task is then not started.
    bool taskStarted(const std::shared_ptr<URLSessionDataTask>& task);
    void taskEnded(uint64_t identifier);

    const Configuration configuration_;
    const std::shared_ptr<dispatch::Queue> queue_;
    mutable std::mutex mutex_;
    ServerTrustHook hook_;
    uint64_t nextIdentifier_ = 1;
    bool invalidated_ = false;
    std::map<uint64_t, std::weak_ptr<URLSessionDataTask>> running_;
};

}  // namespace net
