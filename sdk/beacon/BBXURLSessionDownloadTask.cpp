#include "sdk/beacon/BBXURLSessionDownloadTask.h"

#include "platform/foundation/Paths.h"
#include "platform/foundation/UUID.h"
#include "platform/net/URLError.h"

std::shared_ptr<BBXURLSessionDownloadTask> BBXURLSessionDownloadTask::task() {
    return std::shared_ptr<BBXURLSessionDownloadTask>(new BBXURLSessionDownloadTask());
}

BBXURLSessionDownloadTask::BBXURLSessionDownloadTask()
    : target_(foundation::Paths::temporaryDirectory() / foundation::UUID::random().string()) {}

BBXURLSessionDownloadTask::CompletionHandler BBXURLSessionDownloadTask::downloadCompletionHandler() const {
    std::lock_guard lock(handlerMutex_);
    return downloadHandler_;
}

void BBXURLSessionDownloadTask::setDownloadCompletionHandler(CompletionHandler handler) {
    std::lock_guard lock(handlerMutex_);
    downloadHandler_ = std::move(handler);
}

void BBXURLSessionDownloadTask::configureConnection(net::URLConnection& connection) {
    // A folder that cannot be made shows as the file's failure.
    (void)foundation::Paths::createDirectory(target_.parent_path());
    connection.setDownloadFile(target_);
}

foundation::Error BBXURLSessionDownloadTask::errorForConnectionFailure(const foundation::Error& error) const {
    if (net::isURLError(error, net::URLErrorCannotCreateFile) || net::isURLError(error, net::URLErrorCannotWriteToFile)) {
        foundation::Error fileError(kErrorDomain, -1);
        fileError.userInfo = error.userInfo;
        return fileError;
    }
    return error;
}

void BBXURLSessionDownloadTask::cleanup() {
    std::error_code ignored;
    std::filesystem::remove(target_, ignored);
}

void BBXURLSessionDownloadTask::complete() {
    CompletionHandler handler;
    {
        std::lock_guard lock(handlerMutex_);
        handler.swap(downloadHandler_);
    }
    auto error = this->error();
    if (handler) handler(target_, response(), error);
    auto session = delegate();
    // The session deletes the file once its delegate is done with it.
    if (session && !error)
        session->downloadTaskDidFinishDownloadingToURL(*this, target_);
    else
        cleanup();
    if (session) session->taskDidCompleteWithError(*this, error);
}
