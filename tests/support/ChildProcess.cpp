#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <thread>

namespace testsupport {

using Clock = std::chrono::steady_clock;

std::unique_ptr<ChildProcess> ChildProcess::start(const std::vector<std::string>& argv,
                                                  const std::map<std::string, std::string>& env, Input input) {
    if (argv.empty()) return nullptr;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return nullptr;
    int in[2] = {-1, -1};
    if (input == Input::Pipe && pipe2(in, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return nullptr;
    }
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (auto& arg : args) argp.push_back(arg.data());
    argp.push_back(nullptr);
    // The child's environment is made here: between fork and exec a child of
    // a process with other threads may not take the heap (a lock another
    // thread held at the fork stays held in the child for good).
    std::vector<std::string> entries;
    for (char** entry = environ; *entry; ++entry) {
        std::string text = *entry;
        if (!env.count(text.substr(0, text.find('=')))) entries.push_back(std::move(text));
    }
    for (const auto& [name, value] : env)
        if (!value.empty()) entries.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& entry : entries) envp.push_back(entry.data());
    envp.push_back(nullptr);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        if (in[0] >= 0) {
            dup2(in[0], STDIN_FILENO);
        } else {
            int null = open("/dev/null", O_RDONLY);
            if (null >= 0) dup2(null, STDIN_FILENO);
        }
        dup2(out[1], STDOUT_FILENO);
        execvpe(argp[0], argp.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    if (in[0] >= 0) close(in[0]);
    if (pid < 0) {
        close(out[0]);
        if (in[1] >= 0) close(in[1]);
        return nullptr;
    }
    return std::unique_ptr<ChildProcess>(new ChildProcess(pid, out[0], in[1]));
}

ChildProcess::~ChildProcess() {
    if (running()) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    closeInput();
    close(out_);
}

bool ChildProcess::writeInput(const std::string& text) {
    if (in_ < 0) return false;
    // A program that died must show as a failed write, not end the test program.
    static const bool ignored = std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
    (void)ignored;
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(in_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void ChildProcess::closeInput() {
    if (in_ >= 0) close(in_);
    in_ = -1;
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        if (auto end = buffer_.find('\n'); end != std::string::npos) {
            std::string line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return std::nullopt;
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) return std::nullopt;
        char chunk[512];
        ssize_t n = read(out_, chunk, sizeof chunk);
        if (n <= 0) return std::nullopt;
        buffer_.append(chunk, static_cast<size_t>(n));
    }
}

bool ChildProcess::waitForLine(const std::string& line, std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        auto next = readLine(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
        if (!next) return false;
        if (*next == line) return true;
    }
    return false;
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (!status_) {
        int status = 0;
        pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (Clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_;
}

bool ChildProcess::running() { return !wait(std::chrono::milliseconds(0)); }

void ChildProcess::signal(int number) {
    if (running()) ::kill(pid_, number);
}

CommandResult runCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                         const std::map<std::string, std::string>& env) {
    CommandResult result;
    auto child = ChildProcess::start(argv, env);
    if (!child) return result;
    auto deadline = Clock::now() + timeout;
    while (auto line = child->readLine(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())))
        result.output += *line + "\n";
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    result.status = child->wait(std::max(left, std::chrono::milliseconds(0))).value_or(-1);
    return result;
}

}  // namespace testsupport
