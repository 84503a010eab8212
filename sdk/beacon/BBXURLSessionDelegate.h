#pragma once
// What a kit session tells its delegate, each call as an operation on the
// session's delegate queue. Every call has a default that does what a delegate
// without it would get: nothing, or, for server trust, default handling.

#include <filesystem>
#include <functional>
#include <optional>

#include "platform/foundation/Data.h"
#include "platform/foundation/Error.h"
#include "platform/net/HTTPURLResponse.h"
#include "platform/net/ServerTrustChallenge.h"

class BBXURLSession;
class BBXURLSessionTask;
class BBXURLSessionDataTask;
class BBXURLSessionDownloadTask;

class BBXURLSessionDelegate {
public:
    using ChallengeCompletionHandler = std::function<void(net::AuthChallengeDisposition)>;
    // The platform's response dispositions; the kit session goes on whatever the answer.
    using ResponseCompletionHandler = std::function<void(int disposition)>;

    virtual ~BBXURLSessionDelegate() = default;

    // Server trust for a handshake of any of the session's tasks, those with
    // handlers included. The handshake waits for completionHandler, at most the
    // request's time-out. No code on the delegate queue may wait for a request
    // of the same session: the answer needs that queue.
    virtual void URLSessionDidReceiveChallenge(BBXURLSession&, const net::ServerTrustChallenge&,
                                               ChallengeCompletionHandler completionHandler) {
        completionHandler(net::AuthChallengeDisposition::PerformDefaultHandling);
    }
    virtual void URLSessionDidBecomeInvalidWithError(BBXURLSession&, const std::optional<foundation::Error>&) {}

    // Only for tasks made without a completion handler.
    virtual void URLSessionDataTaskDidReceiveResponse(BBXURLSession&, BBXURLSessionDataTask&,
                                                      const net::HTTPURLResponse&, ResponseCompletionHandler) {}
    virtual void URLSessionDataTaskDidReceiveData(BBXURLSession&, BBXURLSessionDataTask&, const foundation::Data&) {}
    // The file is deleted once this returns: move it to keep it.
    virtual void URLSessionDownloadTaskDidFinishDownloadingToURL(BBXURLSession&, BBXURLSessionDownloadTask&,
                                                                 const std::filesystem::path&) {}
    virtual void URLSessionTaskDidCompleteWithError(BBXURLSession&, BBXURLSessionTask&,
                                                    const std::optional<foundation::Error>&) {}
};
