#include "sdk/blackbox/BBXNetworkClient.h"

#include <unistd.h>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/SystemLog.h"
#include "platform/net/URLConnection.h"
#include "sdk/beacon/BBXURLSessionDataTask.h"
#include "sdk/beacon/BCNNetworkResponseHandler.h"
#include "sdk/beacon/BCNPinnedCertificates.h"
#include "sdk/beacon/Beacon.h"
#include "sdk/blackbox/BBXApplication.h"
#include "sdk/blackbox/BBXFileManager.h"
#include "sdk/blackbox/BBXNetworkClientDelegate.h"
#include "sdk/blackbox/BBXSDKLog.h"
#include "sdk/blackbox/BBXUtilities.h"

namespace {

bool debugging() { return Beacon::sharedSDK()->debug(); }

void debugLog(const std::string& line) {
    if (debugging()) foundation::systemLog(line);
}

bool fileIsReadable(const std::string& path) { return !path.empty() && ::access(path.c_str(), R_OK) == 0; }

}  // namespace

// Hands the session's calls to the client while it lives; the session holds
// its delegate, and the client holds the session.
class BBXNetworkClient::SessionForwarder : public BBXURLSessionDelegate {
public:
    explicit SessionForwarder(std::weak_ptr<BBXNetworkClient> client) : client_(std::move(client)) {}

    void URLSessionDidReceiveChallenge(BBXURLSession& session, const net::ServerTrustChallenge& challenge,
                                       ChallengeCompletionHandler completionHandler) override {
        if (auto client = client_.lock())
            client->URLSessionDidReceiveChallenge(session, challenge, std::move(completionHandler));
        else
            completionHandler(net::AuthChallengeDisposition::CancelAuthenticationChallenge);
    }
    void URLSessionDidBecomeInvalidWithError(BBXURLSession& session,
                                             const std::optional<foundation::Error>& error) override {
        if (auto client = client_.lock()) client->URLSessionDidBecomeInvalidWithError(session, error);
    }
    void URLSessionTaskDidCompleteWithError(BBXURLSession& session, BBXURLSessionTask& task,
                                            const std::optional<foundation::Error>& error) override {
        if (auto client = client_.lock()) client->URLSessionTaskDidCompleteWithError(session, task, error);
    }

private:
    std::weak_ptr<BBXNetworkClient> client_;
};

std::shared_ptr<const BCNCertificatePinner> BBXNetworkClient::pinner() {
    return std::make_shared<const BCNCertificatePinner>(BCNPinnedCertificates());
}

std::shared_ptr<BBXNetworkClient> BBXNetworkClient::create(std::shared_ptr<dispatch::OperationQueue> queue,
                                                           std::shared_ptr<BBXFileManager> fileManager,
                                                           std::weak_ptr<BBXNetworkClientDelegate> delegate) {
    auto client = std::shared_ptr<BBXNetworkClient>(
        new BBXNetworkClient(std::move(queue), std::move(fileManager), std::move(delegate)));
    if (auto owner = client->delegate())
        client->canUseBackgroundSession_ = owner->networkClientCanUseBackgroundSessions(*client);
    debugLog(client->supportsBackgroundRequests()
                 ? "[Blackbox:Crash:Client] Background session uploading supported"
                 : "[Blackbox:Crash:Client] Background session uploading not supported, asynchronous uploading will "
                   "be used");
    return client;
}

BBXNetworkClient::BBXNetworkClient(std::shared_ptr<dispatch::OperationQueue> queue,
                                   std::shared_ptr<BBXFileManager> fileManager,
                                   std::weak_ptr<BBXNetworkClientDelegate> delegate)
    : operationQueue_(std::move(queue)),
      fileManager_(std::move(fileManager)),
      delegate_(std::move(delegate)),
      certPinner_(pinner()) {}

BBXNetworkClient::~BBXNetworkClient() {
    // Running uploads finish unheard; the session lets go of its forwarder.
    if (session_) session_->finishTasksAndInvalidate();
}

bool BBXNetworkClient::NSURLSessionAvailable() { return BBXURLSession::NSURLSessionShouldBeUsed(); }

bool BBXNetworkClient::supportsBackgroundRequests() const {
    return !BBXApplicationIsAnExtension() && NSURLSessionAvailable() && canUseBackgroundSession_;
}

std::shared_ptr<BBXURLSession> BBXNetworkClient::session() {
    std::lock_guard lock(mutex_);
    if (sessionMade_) return session_;
    sessionMade_ = true;
    std::shared_ptr<BBXURLSessionConfiguration> configuration;
    if (supportsBackgroundRequests())
        configuration = BBXURLSessionConfiguration::backgroundSessionConfiguration(kBackgroundSessionIdentifier);
    if (!configuration) configuration = BBXURLSessionConfiguration::defaultSessionConfiguration();
    if (configuration)
        session_ = BBXURLSession::sessionWithConfiguration(
            configuration, std::make_shared<SessionForwarder>(weak_from_this()), operationQueue_);
    if (!session_) foundation::systemLog("[Blackbox:Crash:Client] Failed to initialize");
    return session_;
}

void BBXNetworkClient::attemptToReconnectBackgroundSessionWithCompletionBlock(const std::function<void()>& block) {
    if (!block) return;
    if (supportsBackgroundRequests())
        dispatch::Queue::main()->async(block);
    else
        block();
}

void BBXNetworkClient::startUploadRequest(const net::URLRequest& request, const std::string& filePath,
                                          bool immediately) {
    if (immediately) {
        startImmediateUploadRequest(request, filePath);
        return;
    }
    auto description = relativeTaskPathForAbsolutePath(filePath);
    auto self = shared_from_this();
    checkForExistingTaskMatchingDescription(description.value_or(""), [self, request, filePath](bool found) {
        if (found) {
            debugLog("[Blackbox:Crash:Client] A task currently exists for this upload, skipping");
            return;
        }
        self->startNewUploadRequest(request, filePath);
    });
}

void BBXNetworkClient::startImmediateUploadRequest(const net::URLRequest& request, const std::string& filePath) {
    if (supportsBackgroundRequests()) {
        startNewUploadRequest(request, filePath);
        return;
    }
    if (!fileIsReadable(filePath)) {
        BBXSDKLog("%s: Error: file unreadable\n", __func__);
        return;
    }
    net::URLRequest upload = request;
    upload.setHTTPBodyFile(filePath);
    std::weak_ptr<BBXNetworkClient> weak = weak_from_this();
    auto result = net::URLConnection::sendSynchronousRequest(upload, [weak](const net::ServerTrustChallenge& challenge) {
        auto self = weak.lock();
        return self ? self->dispositionForChallenge(challenge) : net::AuthChallengeDisposition::CancelAuthenticationChallenge;
    });
    if (!result.ok()) return;
    bool succeeded = false;
    BCNNetworkResponseHandler::clientResponseType(
        result.value().response,
        [&](BCNNetworkResponseHandler::Type type, int) { succeeded = type == BCNNetworkResponseHandler::Success; });
    // Anything else leaves the package for a later attempt.
    if (succeeded) notifyDelegate(filePath, std::nullopt);
}

void BBXNetworkClient::startNewUploadRequest(const net::URLRequest& request, const std::string& filePath) {
    auto session = this->session();
    std::shared_ptr<BBXURLSessionUploadTask> task;
    if (session && fileIsReadable(filePath)) task = session->uploadTaskWithRequest(request, filePath);
    if (!task) {
        auto self = shared_from_this();
        operationQueue_->addOperation([self, filePath] {
            foundation::Error error{kErrorDomain, kUnreadableFileError};
            error.userInfo["path"] = filePath;
            self->notifyDelegate(filePath, error);
        });
        return;
    }
    task->setTaskDescription(relativeTaskPathForAbsolutePath(filePath).value_or(""));
    task->resume();
}

std::optional<std::string> BBXNetworkClient::relativeTaskPathForAbsolutePath(const std::string& path) const {
    std::string root = fileManager_ ? fileManager_->rootPath() : std::string();
    if (root.empty() || path.size() <= root.size() + 1 || path.compare(0, root.size(), root) != 0 ||
        path[root.size()] != '/') {
        BBXSDKLog("%s: Error: path '%s' is not at the root '%s'\n", __func__, path.c_str(), root.c_str());
        return std::nullopt;
    }
    return path.substr(root.size() + 1);
}

std::string BBXNetworkClient::absolutePathForRelativeTaskPath(const std::string& relativePath) const {
    std::string root = fileManager_ ? fileManager_->rootPath() : std::string();
    return root + "/" + relativePath;
}

void BBXNetworkClient::checkForExistingTaskMatchingDescription(const std::string& description,
                                                               const std::function<void(bool found)>& completionBlock) {
    auto session = this->session();
    if (!session) {
        operationQueue_->addOperation([completionBlock] { completionBlock(false); });
        return;
    }
    session->getTasksWithCompletionHandler(
        [description, completionBlock](std::vector<std::shared_ptr<BBXURLSessionDataTask>> dataTasks,
                                       std::vector<std::shared_ptr<BBXURLSessionUploadTask>> uploadTasks,
                                       std::vector<std::shared_ptr<BBXURLSessionDownloadTask>> downloadTasks) {
            bool found = false;
            for (const auto& task : dataTasks) found = found || task->taskDescription() == description;
            for (const auto& task : uploadTasks) found = found || task->taskDescription() == description;
            // Download tasks carry no description in the kit session.
            (void)downloadTasks;
            completionBlock(found && !description.empty());
        });
}

net::AuthChallengeDisposition BBXNetworkClient::dispositionForChallenge(
    const net::ServerTrustChallenge& challenge) const {
    if (debugging()) return net::AuthChallengeDisposition::PerformDefaultHandling;
    auto disposition = net::AuthChallengeDisposition::CancelAuthenticationChallenge;
    certPinner_->handleChallenge(challenge, nullptr, [&](net::AuthChallengeDisposition answer) { disposition = answer; });
    return disposition;
}

void BBXNetworkClient::URLSessionDidReceiveChallenge(BBXURLSession&, const net::ServerTrustChallenge& challenge,
                                                     ChallengeCompletionHandler completionHandler) {
    completionHandler(dispositionForChallenge(challenge));
}

void BBXNetworkClient::URLSessionTaskDidCompleteWithError(BBXURLSession&, BBXURLSessionTask& task,
                                                          const std::optional<foundation::Error>& error) {
    auto* dataTask = dynamic_cast<BBXURLSessionDataTask*>(&task);
    std::string path = absolutePathForRelativeTaskPath(dataTask ? dataTask->taskDescription() : std::string());
    BCNNetworkResponseHandler::handleCompletedResponse(
        task.response(), task.originalRequest(), error,
        [&](bool retry, const std::optional<foundation::Error>& verdict) {
            if (retry)
                restartTask(task);
            else
                notifyDelegate(path, verdict);
        });
}

void BBXNetworkClient::restartTask(BBXURLSessionTask& task) {
    auto* dataTask = dynamic_cast<BBXURLSessionDataTask*>(&task);
    std::string path = absolutePathForRelativeTaskPath(dataTask ? dataTask->taskDescription() : std::string());
    net::URLRequest request = task.originalRequest();
    std::weak_ptr<BBXNetworkClient> weak = weak_from_this();
    BBXAddOperationAfterDelay(
        operationQueue_,
        [weak, request, path] {
            if (auto self = weak.lock()) self->startNewUploadRequest(request, path);
        },
        BCNNetworkResponseHandler::retryValueForResponse(task.response()));
}

void BBXNetworkClient::URLSessionDidBecomeInvalidWithError(BBXURLSession&,
                                                           const std::optional<foundation::Error>& error) {
    debugLog(foundation::format("[Blackbox:Crash:Client] session became invalid: %@",
                                error ? error->description() : std::string("(null)")));
}

void BBXNetworkClient::URLSessionDidFinishEventsForBackgroundURLSession(BBXURLSession&) {
    std::function<void()> handler;
    {
        std::lock_guard lock(mutex_);
        handler = backgroundCompletionHandler_;
    }
    if (!handler) {
        foundation::systemLog("[Blackbox:Crash:Client] background callback is nil?");
        return;
    }
    auto self = shared_from_this();
    dispatch::Queue::main()->async([self, handler] {
        handler();
        self->operationQueue_->addOperation([self] {
            std::lock_guard lock(self->mutex_);
            self->backgroundCompletionHandler_ = nullptr;
        });
    });
}

void BBXNetworkClient::setBackgroundCompletionHandler(std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    backgroundCompletionHandler_ = std::move(handler);
}

void BBXNetworkClient::notifyDelegate(const std::string& path, const std::optional<foundation::Error>& error) {
    if (auto owner = delegate()) owner->networkClientDidFinishUploadWithPath(*this, path, error);
}
