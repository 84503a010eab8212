#pragma once
// The kits' URL session: sessions made from a configuration, with data,
// upload and download tasks and a delegate that hears of them on its
// operation queue. net::URLSession has no background configurations, so the
// kits always run this layer's own mode: each task drives a net::URLConnection
// on its own serial queue, and the session keeps its unfinished tasks in a set
// guarded by the serial queue "com.blackbox.URLSession".
//
// A task made with a completion handler reports to the handler only; the
// delegate still answers every server-trust question (so certificate pinning
// holds for every request). The session holds its delegate until it is
// invalidated; an invalidated session makes no more tasks (null). Any thread.

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/dispatch/OperationQueue.h"
#include "platform/dispatch/Queue.h"
#include "platform/net/URLRequest.h"
#include "sdk/beacon/BBXURLSessionConfiguration.h"
#include "sdk/beacon/BBXURLSessionDataTask.h"
#include "sdk/beacon/BBXURLSessionDelegate.h"
#include "sdk/beacon/BBXURLSessionDownloadTask.h"
#include "sdk/beacon/BBXURLSessionTaskDelegate.h"
#include "sdk/beacon/BBXURLSessionUploadTask.h"

class BBXURLSession : public BBXURLSessionTaskDelegate, public std::enable_shared_from_this<BBXURLSession> {
public:
    static constexpr const char* kClassName = "BBXURLSession";
    static constexpr const char* kQueueLabel = "com.blackbox.URLSession";

    using TasksHandler = std::function<void(std::vector<std::shared_ptr<BBXURLSessionDataTask>> dataTasks,
                                            std::vector<std::shared_ptr<BBXURLSessionUploadTask>> uploadTasks,
                                            std::vector<std::shared_ptr<BBXURLSessionDownloadTask>> downloadTasks)>;

    // Whether the platform's own URL session would serve: no, it offers no
    // background configurations.
    static bool NSURLSessionShouldBeUsed() { return false; }

    // Null without a configuration. A delegate without a queue gets
    // newDefaultDelegateQueue().
    static std::shared_ptr<BBXURLSession> sessionWithConfiguration(
        const std::shared_ptr<const BBXURLSessionConfiguration>& configuration);
    static std::shared_ptr<BBXURLSession> sessionWithConfiguration(
        const std::shared_ptr<const BBXURLSessionConfiguration>& configuration,
        std::shared_ptr<BBXURLSessionDelegate> delegate, std::shared_ptr<dispatch::OperationQueue> delegateQueue);
    // A queue named "BBXURLSession 0x…" running one operation at a time.
    static std::shared_ptr<dispatch::OperationQueue> newDefaultDelegateQueue();

    ~BBXURLSession() override;

    // Configured tasks, not yet resumed; null once the session is invalidated.
    std::shared_ptr<BBXURLSessionDataTask> dataTaskWithRequest(const net::URLRequest& request,
                                                               BBXURLSessionDataTask::CompletionHandler handler);
    std::shared_ptr<BBXURLSessionDataTask> dataTaskWithRequest(const net::URLRequest& request);
    std::shared_ptr<BBXURLSessionUploadTask> uploadTaskWithRequest(const net::URLRequest& request,
                                                                   const std::filesystem::path& file,
                                                                   BBXURLSessionDataTask::CompletionHandler handler);
    std::shared_ptr<BBXURLSessionUploadTask> uploadTaskWithRequest(const net::URLRequest& request,
                                                                   const std::filesystem::path& file);
    std::shared_ptr<BBXURLSessionDownloadTask> downloadTaskWithRequest(
        const net::URLRequest& request, BBXURLSessionDownloadTask::CompletionHandler handler);
    std::shared_ptr<BBXURLSessionDownloadTask> downloadTaskWithRequest(const net::URLRequest& request);
    std::shared_ptr<BBXURLSessionDownloadTask> downloadTaskWithURL(const std::string& url);

    // Cancels every unfinished task (each completes with -999), then lets go of
    // the delegate.
    void invalidateAndCancel();
    // Lets go of the delegate; running tasks go on unheard by it.
    void finishTasksAndInvalidate();
    // Hands three empty lists to handler on the delegate queue.
    void getTasksWithCompletionHandler(TasksHandler handler);

    std::shared_ptr<BBXURLSessionDelegate> delegate() const;
    const std::shared_ptr<dispatch::OperationQueue>& delegateQueue() const { return delegateQueue_; }
    const std::shared_ptr<const BBXURLSessionConfiguration>& configuration() const { return configuration_; }
    std::string sessionDescription() const;
    void setSessionDescription(std::string description);
    // Tasks made and not yet done with.
    size_t taskCount() const;

    // Between the session and its tasks.
    // Adds the task to the set and gives it the request with the configuration's
    // headers added and block applied; false once the session is invalidated.
    bool configureTask(const std::shared_ptr<BBXURLSessionTask>& task, const net::URLRequest& request,
                       const std::function<void(net::URLRequest&)>& block = {});
    void removeTaskFromSet(const std::shared_ptr<BBXURLSessionTask>& task);
    // The delegate when the task reports to it, else null.
    std::shared_ptr<BBXURLSessionDelegate> shouldInvokeDelegateForTask(const BBXURLSessionTask& task) const;

    void taskDidReceiveResponse(BBXURLSessionTask& task, const net::HTTPURLResponse& response) override;
    void taskDidReceiveData(BBXURLSessionTask& task, const foundation::Data& data) override;
    void downloadTaskDidFinishDownloadingToURL(BBXURLSessionDownloadTask& task,
                                               const std::filesystem::path& location) override;
    void taskDidCompleteWithError(BBXURLSessionTask& task, const std::optional<foundation::Error>& error) override;
    void taskDidReceiveChallenge(BBXURLSessionTask& task, const net::ServerTrustChallenge& challenge,
                                 std::function<void(net::AuthChallengeDisposition)> completion) override;

private:
    BBXURLSession(std::shared_ptr<const BBXURLSessionConfiguration> configuration,
                  std::shared_ptr<BBXURLSessionDelegate> delegate, std::shared_ptr<dispatch::OperationQueue> delegateQueue);
    template <class Task>
    std::shared_ptr<Task> makeTask(const net::URLRequest& request, bool withHandler,
                                   const std::function<void(net::URLRequest&)>& block = {});

    const std::shared_ptr<const BBXURLSessionConfiguration> configuration_;
    const std::shared_ptr<dispatch::OperationQueue> delegateQueue_;
    const std::shared_ptr<dispatch::Queue> queue_;

    mutable std::mutex mutex_;  // guards the delegate and the description
    std::shared_ptr<BBXURLSessionDelegate> delegate_;
    std::string description_;

    // On queue_ only.
    bool invalidated_ = false;
    std::set<std::shared_ptr<BBXURLSessionTask>> tasks_;
};
