#pragma once
// How a kit session's own tasks report to the session (which forwards to its
// delegate): response, data, a finished download, completion, and server
// trust. Called on the task's queue.

#include <filesystem>
#include <functional>
#include <optional>

#include "platform/foundation/Data.h"
#include "platform/foundation/Error.h"
#include "platform/net/HTTPURLResponse.h"
#include "platform/net/ServerTrustChallenge.h"

class BBXURLSessionTask;
class BBXURLSessionDownloadTask;

class BBXURLSessionTaskDelegate {
public:
    virtual ~BBXURLSessionTaskDelegate() = default;
    virtual void taskDidReceiveResponse(BBXURLSessionTask& task, const net::HTTPURLResponse& response) = 0;
    virtual void taskDidReceiveData(BBXURLSessionTask& task, const foundation::Data& data) = 0;
    // The file is deleted once the session is done with it (cleanup).
    virtual void downloadTaskDidFinishDownloadingToURL(BBXURLSessionDownloadTask& task,
                                                       const std::filesystem::path& location) = 0;
    virtual void taskDidCompleteWithError(BBXURLSessionTask& task, const std::optional<foundation::Error>& error) = 0;
    // The handshake's question; completion runs once, on any thread.
    virtual void taskDidReceiveChallenge(BBXURLSessionTask& task, const net::ServerTrustChallenge& challenge,
                                         std::function<void(net::AuthChallengeDisposition)> completion) = 0;
};
