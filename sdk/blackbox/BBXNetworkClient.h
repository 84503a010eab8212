#pragma once
// Uploads packaged crash reports. An ordinary upload is a task of the
// client's kit session whose description is the package's path relative to
// the kit's root folder; the session reports to this client on the work queue,
// where outcomes are judged (BCNNetworkResponseHandler): server trouble, rate
// limits and time-outs start the upload again after the answer's Retry-After
// (2 s without one), without limit; every other outcome reaches the delegate.
// An immediate upload is sent on the calling thread and waits for the answer
// (at most the request's time-out); only a success reaches the delegate.
//
// Linux has no transfers that outlive the process, so background sessions
// are never used: no task survives a launch to be found again, and the
// reconnect runs its block at once.
//
// Servers are trusted under the pinned roots (BCNPinnedCertificates), or by
// default trust (net::TrustStore) while Beacon's debug flag is set.
//
// The session reports through a forwarder that does not keep the client
// alive; the client ends its session when it goes. Any thread.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/OperationQueue.h"
#include "platform/foundation/Error.h"
#include "platform/net/ServerTrustChallenge.h"
#include "platform/net/URLRequest.h"
#include "sdk/beacon/BBXURLSession.h"
#include "sdk/beacon/BBXURLSessionDelegate.h"
#include "sdk/beacon/BCNCertificatePinner.h"

class BBXFileManager;
class BBXNetworkClientDelegate;

class BBXNetworkClient : public BBXURLSessionDelegate, public std::enable_shared_from_this<BBXNetworkClient> {
public:
    static constexpr const char* kErrorDomain = "BBXNetworkError";
    static constexpr int64_t kUnreadableFileError = -2;
    static constexpr const char* kBackgroundSessionIdentifier = "org.blackbox.mac.crash.background-session";

    // A pinner over BCNPinnedCertificates.
    static std::shared_ptr<const BCNCertificatePinner> pinner();
    // Asks the delegate whether background sessions may be used.
    static std::shared_ptr<BBXNetworkClient> create(std::shared_ptr<dispatch::OperationQueue> queue,
                                                    std::shared_ptr<BBXFileManager> fileManager,
                                                    std::weak_ptr<BBXNetworkClientDelegate> delegate);
    ~BBXNetworkClient() override;

    // BBXURLSession::NSURLSessionShouldBeUsed: never here.
    static bool NSURLSessionAvailable();
    bool canUseBackgroundSession() const { return canUseBackgroundSession_; }
    bool supportsBackgroundRequests() const;

    const std::shared_ptr<dispatch::OperationQueue>& operationQueue() const { return operationQueue_; }
    const std::shared_ptr<BBXFileManager>& fileManager() const { return fileManager_; }
    const std::shared_ptr<const BCNCertificatePinner>& certPinner() const { return certPinner_; }
    std::shared_ptr<BBXNetworkClientDelegate> delegate() const { return delegate_.lock(); }
    // Made on first use; null when it cannot be made.
    std::shared_ptr<BBXURLSession> session();

    // With background requests the block goes to the main operation queue;
    // otherwise it runs at once.
    void attemptToReconnectBackgroundSessionWithCompletionBlock(const std::function<void()>& block);

    // An ordinary upload skips a package whose task is still running.
    void startUploadRequest(const net::URLRequest& request, const std::string& filePath, bool immediately);
    void startImmediateUploadRequest(const net::URLRequest& request, const std::string& filePath);
    void startNewUploadRequest(const net::URLRequest& request, const std::string& filePath);

    // The task description of a package: its path below the root folder, or
    // nullopt (with an "sdk.log" line) for a path outside it.
    std::optional<std::string> relativeTaskPathForAbsolutePath(const std::string& path) const;
    std::string absolutePathForRelativeTaskPath(const std::string& relativePath) const;
    // Answers on the work queue whether a task of the session carries the description.
    void checkForExistingTaskMatchingDescription(const std::string& description,
                                                 const std::function<void(bool found)>& completionBlock);

    // How a server's chain is judged for the given challenge.
    net::AuthChallengeDisposition dispositionForChallenge(const net::ServerTrustChallenge& challenge) const;

    void URLSessionTaskDidCompleteWithError(BBXURLSession& session, BBXURLSessionTask& task,
                                            const std::optional<foundation::Error>& error) override;
    void URLSessionDidReceiveChallenge(BBXURLSession& session, const net::ServerTrustChallenge& challenge,
                                       ChallengeCompletionHandler completionHandler) override;
    void URLSessionDidBecomeInvalidWithError(BBXURLSession& session,
                                             const std::optional<foundation::Error>& error) override;
    void URLSessionDidFinishEventsForBackgroundURLSession(BBXURLSession& session);

    // Nothing in the kit sets it: no background session ever finishes events.
    void setBackgroundCompletionHandler(std::function<void()> handler);

private:
    class SessionForwarder;

    BBXNetworkClient(std::shared_ptr<dispatch::OperationQueue> queue, std::shared_ptr<BBXFileManager> fileManager,
                     std::weak_ptr<BBXNetworkClientDelegate> delegate);
    // After the response's retry value, on the work queue, a new upload of the task's request.
    void restartTask(BBXURLSessionTask& task);
    void notifyDelegate(const std::string& path, const std::optional<foundation::Error>& error);

    const std::shared_ptr<dispatch::OperationQueue> operationQueue_;
    const std::shared_ptr<BBXFileManager> fileManager_;
    const std::weak_ptr<BBXNetworkClientDelegate> delegate_;
    const std::shared_ptr<const BCNCertificatePinner> certPinner_;
    bool canUseBackgroundSession_ = false;

    std::mutex mutex_;  // guards what follows
    std::shared_ptr<BBXURLSession> session_;
    bool sessionMade_ = false;
    std::function<void()> backgroundCompletionHandler_;
};
