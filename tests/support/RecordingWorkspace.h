#pragma once
// A workspace that records what it was asked to open or start and starts
// nothing; install it for a test with RecordingWorkspace::Scope.
#include <vector>

#include "platform/desktop/Workspace.h"

namespace testsupport {

class RecordingWorkspace : public desktop::Workspace {
public:
    class Scope {
    public:
        Scope() : workspace_(std::make_shared<RecordingWorkspace>()) { desktop::Workspace::setCurrent(workspace_); }
        ~Scope() { desktop::Workspace::setCurrent(nullptr); }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;
        RecordingWorkspace* operator->() const { return workspace_.get(); }

    private:
        std::shared_ptr<RecordingWorkspace> workspace_;
    };

    bool openURL(const std::string& url) override {
        urls.push_back(url);
        return true;
    }
    bool openFile(const std::filesystem::path& path) override {
        files.push_back(path);
        return true;
    }
    foundation::Result<void> launchApplicationAtPath(const std::filesystem::path& bundle) override {
        launched.push_back(bundle);
        return {};
    }

    std::vector<std::string> urls;
    std::vector<std::filesystem::path> files;
    std::vector<std::filesystem::path> launched;
};

}  // namespace testsupport
