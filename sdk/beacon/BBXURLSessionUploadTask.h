#pragma once
// A data task whose request body streams from a file (the session sets it up).

#include <memory>

#include "sdk/beacon/BBXURLSessionDataTask.h"

class BBXURLSessionUploadTask : public BBXURLSessionDataTask {
public:
    static std::shared_ptr<BBXURLSessionUploadTask> task() {
        return std::shared_ptr<BBXURLSessionUploadTask>(new BBXURLSessionUploadTask());
    }

protected:
    BBXURLSessionUploadTask() = default;
};
