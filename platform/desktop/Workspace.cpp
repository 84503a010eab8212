#include "Workspace.h"

#include <QDesktopServices>
#include <QUrl>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "ApplicationBus.h"
#include "platform/foundation/Bundle.h"

namespace desktop {

namespace {

constexpr const char* kDomain = "com.tavlo.desktop.Workspace";

std::mutex currentMutex;
std::shared_ptr<Workspace>& currentSlot() {
    static std::shared_ptr<Workspace> slot;
    return slot;
}

// Starts program in a session of its own with its standard streams on
// /dev/null and nothing inherited beyond them. The intermediate child exits at
// once, so the program is nobody's child here and never becomes a zombie.
foundation::Result<void> spawnDetached(const std::string& program) {
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return foundation::Error(kDomain, errno, std::strerror(errno));
    // Everything the children use is prepared before fork: after it only
    // async-signal-safe calls are allowed.
    const char* argv[] = {program.c_str(), nullptr};
    pid_t middle = ::fork();
    if (middle < 0) {
        int error = errno;
        ::close(report[0]);
        ::close(report[1]);
        return foundation::Error(kDomain, error, std::strerror(error));
    }
    if (middle == 0) {
        ::close(report[0]);
        ::setsid();
        pid_t grandchild = ::fork();
        if (grandchild != 0) _exit(grandchild < 0 ? 1 : 0);
        int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, STDIN_FILENO);
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
        }
        for (int fd = STDERR_FILENO + 1; fd < 1024; ++fd) {
            if (fd != report[1]) ::close(fd);
        }
        ::execv(program.c_str(), const_cast<char* const*>(argv));
        int error = errno;
        (void)!::write(report[1], &error, sizeof error);
        _exit(127);
    }
    ::close(report[1]);
    int status = 0;
    while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
    // The report pipe closes on a successful exec and carries errno otherwise.
    int error = 0;
    ssize_t n;
    do {
        n = ::read(report[0], &error, sizeof error);
    } while (n < 0 && errno == EINTR);
    ::close(report[0]);
    if (n == static_cast<ssize_t>(sizeof error)) return foundation::Error(kDomain, error, std::strerror(error));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return foundation::Error(kDomain, ECHILD, "fork failed");
    return {};
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
        auto bundle = foundation::Bundle::withPath(bundlePath);
        std::string identifier = bundle->bundleIdentifier();
        if (!identifier.empty() && ApplicationBus::hasOwner(identifier)) return ApplicationBus::reopenOwner(identifier);
        auto executableValue = bundle->objectForInfoDictionaryKey("CFBundleExecutable");
        const std::string* executable = executableValue.asString();
        if (!executable || executable->empty() || executable->find('/') != std::string::npos)
            return foundation::Error(kDomain, ENOENT, "The bundle names no executable: " + bundlePath.string());
        std::filesystem::path program = bundle->executableFolder() / *executable;
        if (bundle->executableFolder().empty() || ::access(program.c_str(), X_OK) != 0)
            return foundation::Error(kDomain, ENOENT, "No executable at " + program.string());
        return spawnDetached(program.string());
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
