// The X11 pasteboard tests run against a real X server. Each test program
// starts a private Xvfb of its own when it can: the clipboard is one per
// server, and CTest runs test programs side by side under one display. Without
// DISPLAY (no X session at all) every test skips.

#include <gtest/gtest.h>

#include <QGuiApplication>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace {

class PrivateXServer {
public:
    // Nothing when Xvfb cannot be started.
    static std::unique_ptr<PrivateXServer> start() {
        int fds[2];
        if (pipe(fds) != 0) return nullptr;
        pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            // The server must not outlive this program, however it ends, and must
            // not hold the test runner's output pipes open after it.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            int devnull = open("/dev/null", O_RDWR);
            if (devnull >= 0) {
                dup2(devnull, STDIN_FILENO);
                dup2(devnull, STDOUT_FILENO);
                dup2(devnull, STDERR_FILENO);
                if (devnull > STDERR_FILENO) close(devnull);
            }
            std::string fd = std::to_string(fds[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0", "640x480x24",
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        if (pid < 0) {
            close(fds[0]);
            return nullptr;
        }
        std::unique_ptr<PrivateXServer> server(new PrivateXServer(pid));
        // Xvfb writes its display number once it accepts connections.
        std::string number;
        pollfd p{fds[0], POLLIN, 0};
        char ch;
        while (poll(&p, 1, 10'000) > 0 && read(fds[0], &ch, 1) == 1 && ch != '\n') number += ch;
        close(fds[0]);
        if (number.empty()) return nullptr;
        ::setenv("DISPLAY", (":" + number).c_str(), 1);
        return server;
    }
    ~PrivateXServer() {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }

private:
    explicit PrivateXServer(pid_t pid) : pid_(pid) {}
    pid_t pid_;
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    std::unique_ptr<PrivateXServer> server;
    std::unique_ptr<QGuiApplication> app;
    if (!::testing::GTEST_FLAG(list_tests) && std::getenv("DISPLAY")) {
        server = PrivateXServer::start();  // else the session's own display
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        app = std::make_unique<QGuiApplication>(argc, argv);
    }
    int result = RUN_ALL_TESTS();
    app.reset();
    server.reset();
    return result;
}
