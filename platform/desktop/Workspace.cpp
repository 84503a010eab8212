#include "Workspace.h"

#include <QDesktopServices>
#include <QUrl>

#include <mutex>

#include "ApplicationLauncher.h"

namespace desktop {

namespace {

std::mutex currentMutex;
std::shared_ptr<Workspace>& currentSlot() {
    static std::shared_ptr<Workspace> slot;
    return slot;
}

class DesktopWorkspace final : public Workspace {
public:
    bool openURL(const std::string& url) override {
        QUrl address(QString::fromStdString(url), QUrl::StrictMode);
        return address.isValid() && !address.scheme().isEmpty() && QDesktopServices::openUrl(address);
    }

    bool openFile(const std::filesystem::path& path) override {
        return QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(path.string())));
    }

    foundation::Result<void> launchApplicationAtPath(const std::filesystem::path& bundlePath) override {
        return ApplicationLauncher::launchApplicationAtPath(bundlePath);
    }
};

}  // namespace

std::shared_ptr<Workspace> Workspace::makeDefault() { return std::make_shared<DesktopWorkspace>(); }

std::shared_ptr<Workspace> Workspace::current() {
    std::lock_guard lock(currentMutex);
    auto& slot = currentSlot();
    if (!slot) slot = makeDefault();
    return slot;
}

void Workspace::setCurrent(std::shared_ptr<Workspace> workspace) {
    std::lock_guard lock(currentMutex);
    currentSlot() = std::move(workspace);
}

}  // namespace desktop
