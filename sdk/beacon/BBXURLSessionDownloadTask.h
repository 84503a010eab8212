#pragma once
// A task whose body is written, as it arrives, to a file of its own in the
// private temporary folder (a UUID name), never held in memory. The file
// exists only while the completion handler or the delegate's
// finished-downloading call runs: a caller that wants it moves it there. It is
// deleted after a failed download too. A file that cannot be written ends the
// task with "BBXURLSessionDownloadTaskError" -1.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "sdk/beacon/BBXURLSessionDataTask.h"

class BBXURLSessionDownloadTask : public BBXURLSessionDataTask {
public:
    static constexpr const char* kErrorDomain = "BBXURLSessionDownloadTaskError";
    using CompletionHandler = std::function<void(const std::optional<std::filesystem::path>& location,
                                                 const std::optional<net::HTTPURLResponse>& response,
                                                 const std::optional<foundation::Error>& error)>;

    static std::shared_ptr<BBXURLSessionDownloadTask> task();

    CompletionHandler downloadCompletionHandler() const;
    void setDownloadCompletionHandler(CompletionHandler handler);
    const std::filesystem::path& targetURL() const { return target_; }

    // Deletes the file.
    void cleanup() override;

protected:
    BBXURLSessionDownloadTask();
    void configureConnection(net::URLConnection& connection) override;
    foundation::Error errorForConnectionFailure(const foundation::Error& error) const override;
    void complete() override;

private:
    const std::filesystem::path target_;
    mutable std::mutex handlerMutex_;
    CompletionHandler downloadHandler_;
};
