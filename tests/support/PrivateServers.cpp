#include "PrivateServers.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace testsupport {

namespace {

// Starts argv with the write end of a pipe named in it, and reads one line
// from the pipe: the server writes it once it accepts connections.
pid_t startReporting(std::vector<std::string> argv, int reportFd, int readFd) {
    pid_t pid = fork();
    if (pid == 0) {
        close(readFd);
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
        std::vector<char*> args;
        for (auto& arg : argv) args.push_back(arg.data());
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(reportFd);
    return pid;
}

std::string readLine(int fd) {
    std::string line;
    pollfd p{fd, POLLIN, 0};
    char ch;
    while (poll(&p, 1, 10'000) > 0 && read(fd, &ch, 1) == 1 && ch != '\n') line += ch;
    close(fd);
    return line;
}

void stop(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

}  // namespace

std::unique_ptr<PrivateXServer> PrivateXServer::start(const std::string& screen) {
    int fds[2];
    if (pipe(fds) != 0) return nullptr;
    pid_t pid = startReporting({"Xvfb", "-displayfd", std::to_string(fds[1]), "-nolisten", "tcp", "-screen", "0", screen},
                               fds[1], fds[0]);
    if (pid < 0) {
        close(fds[0]);
        return nullptr;
    }
    std::string number = readLine(fds[0]);
    if (number.empty()) {
        stop(pid);
        return nullptr;
    }
    std::unique_ptr<PrivateXServer> server(new PrivateXServer(pid, ":" + number));
    ::setenv("DISPLAY", server->display_.c_str(), 1);
    return server;
}

PrivateXServer::~PrivateXServer() { stop(pid_); }

void PrivateXServer::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = 0;
}

std::unique_ptr<PrivateSessionBus> PrivateSessionBus::start() {
    int fds[2];
    if (pipe(fds) != 0) return nullptr;
    pid_t pid = startReporting({"dbus-daemon", "--session", "--nofork", "--nopidfile",
                                "--print-address=" + std::to_string(fds[1])},
                               fds[1], fds[0]);
    if (pid < 0) {
        close(fds[0]);
        return nullptr;
    }
    std::string address = readLine(fds[0]);
    if (address.empty()) {
        stop(pid);
        return nullptr;
    }
    std::unique_ptr<PrivateSessionBus> bus(new PrivateSessionBus(pid, address));
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    return bus;
}

PrivateSessionBus::~PrivateSessionBus() { stop(pid_); }

}  // namespace testsupport
