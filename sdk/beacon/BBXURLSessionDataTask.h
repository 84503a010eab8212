#pragma once
// A kit session's data task, driven by a net::URLConnection whose events all
// arrive on the task's queue, in order: the response and each piece of the
// body go to the session first (which tells its delegate when the task
// invokes it); at the end the completion handler, if any, gets the body (none
// when no byte came), the response and the error, then the session hears of
// the completion.
//
// Every task completes exactly once, a cancelled one too: with the URL error
// -999 (the connection itself says nothing more once cancelled). A handshake's
// server-trust question goes to the session and waits for its answer at most
// the request's time-out, then the handshake is refused (-999).

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Data.h"
#include "platform/net/URLConnection.h"
#include "sdk/beacon/BBXURLSessionTask.h"

class BBXURLSessionDataTask : public BBXURLSessionTask, public net::URLConnectionDelegate {
public:
    using CompletionHandler = std::function<void(const std::optional<foundation::Data>& data,
                                                 const std::optional<net::HTTPURLResponse>& response,
                                                 const std::optional<foundation::Error>& error)>;

    static std::shared_ptr<BBXURLSessionDataTask> task();
    ~BBXURLSessionDataTask() override;

    CompletionHandler completionHandler() const;
    void setCompletionHandler(CompletionHandler handler);
    std::shared_ptr<net::URLConnection> connection() const;
    // Free text for the task's owner.
    std::string taskDescription() const;
    void setTaskDescription(std::string description);

    // Starts the connection on the task's queue; once only.
    void resume() override;
    // Stops the connection and completes the task with -999, unless it has
    // completed already.
    void cancel() override;

    void connectionDidReceiveResponse(net::URLConnection& connection, const net::HTTPURLResponse& response) override;
    void connectionDidReceiveData(net::URLConnection& connection, const foundation::Data& data) override;
    void connectionDidFinishLoading(net::URLConnection& connection) override;
    void connectionDidFailWithError(net::URLConnection& connection, const foundation::Error& error) override;

protected:
    BBXURLSessionDataTask();
    // Before the connection starts.
    virtual void configureConnection(net::URLConnection&) {}
    // What a connection failure ends the task with.
    virtual foundation::Error errorForConnectionFailure(const foundation::Error& error) const { return error; }
    // Runs once, on the task's queue, with response() and error() settled.
    virtual void complete();
    // The body received so far (task's queue).
    const std::optional<foundation::Data>& receivedData() const { return received_; }

private:
    struct PendingChallenge;
    void finish(std::optional<foundation::Error> error);  // task's queue
    net::AuthChallengeDisposition answerChallenge(const net::ServerTrustChallenge& challenge);  // network thread

    mutable std::mutex stateMutex_;  // guards what follows
    CompletionHandler handler_;
    std::shared_ptr<net::URLConnection> connection_;
    std::string description_;
    bool resumed_ = false;
    bool cancelled_ = false;
    bool completed_ = false;
    std::shared_ptr<PendingChallenge> pendingChallenge_;

    std::optional<foundation::Data> received_;  // task's queue only
};
