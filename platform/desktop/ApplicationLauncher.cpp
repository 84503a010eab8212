#include "ApplicationLauncher.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ApplicationBusClient.h"
#include "platform/foundation/Bundle.h"

namespace desktop {

namespace {

constexpr const char* kDomain = "com.tavlo.desktop.ApplicationLauncher";
// How long a running application may take to answer Reopen (as long as a
// second launch of it waits).
constexpr std::chrono::milliseconds kOwnerAnswer{10'000};

// Starts program in a session of its own with its standard streams on
// /dev/null and nothing inherited beyond them. The intermediate child exits at
// once, so the program is nobody's child here and never becomes a zombie.
foundation::Result<void> spawnDetached(const std::string& program) {
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return foundation::Error(kDomain, errno, std::strerror(errno));
    // Started with a standard stream closed, the pipe may take its number,
    // which the child puts /dev/null on: move it above them.
    for (int& end : report) {
        if (end > STDERR_FILENO) continue;
        int moved = ::fcntl(end, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        ::close(end);
        end = moved;
    }
    if (report[0] < 0 || report[1] < 0) {
        int error = errno;
        for (int end : report)
            if (end >= 0) ::close(end);
        return foundation::Error(kDomain, error, std::strerror(error));
    }
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
        // Two calls close whatever else is open, however high the limit on
        // descriptors (a loop of close() over them costs milliseconds).
        ::close_range(STDERR_FILENO + 1, report[1] - 1, 0);
        ::close_range(report[1] + 1, ~0U, 0);
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

}  // namespace

foundation::Result<void> ApplicationLauncher::launchApplicationAtPath(const std::filesystem::path& bundlePath) {
    auto bundle = foundation::Bundle::withPath(bundlePath);
    std::string identifier = bundle->bundleIdentifier();
    if (!identifier.empty() && ApplicationBusClient::hasOwner(identifier))
        return ApplicationBusClient::reopenOwner(identifier, kOwnerAnswer);
    auto executableValue = bundle->objectForInfoDictionaryKey("CFBundleExecutable");
    const std::string* executable = executableValue.asString();
    if (!executable || executable->empty() || executable->find('/') != std::string::npos)
        return foundation::Error(kDomain, ENOENT, "The bundle names no executable: " + bundlePath.string());
    std::filesystem::path program = bundle->executableFolder() / *executable;
    if (bundle->executableFolder().empty() || ::access(program.c_str(), X_OK) != 0)
        return foundation::Error(kDomain, ENOENT, "No executable at " + program.string());
    return spawnDetached(program.string());
}

}  // namespace desktop
