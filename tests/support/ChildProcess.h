#pragma once
// A program a test starts and watches: its standard output read line by line,
// its standard input (when asked for) written by the test, its exit awaited
// with a time-out. It is killed when the object goes, and with the test
// program if that dies first.
#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

class ChildProcess {
public:
    enum class Input { None, Pipe };
    // Starts argv[0] (looked up on PATH) with the environment of this process
    // changed by env (an empty value removes the variable); its standard input
    // is /dev/null, or a pipe that writeInput() feeds. Null when it could not
    // be started.
    static std::unique_ptr<ChildProcess> start(const std::vector<std::string>& argv,
                                               const std::map<std::string, std::string>& env = {},
                                               Input input = Input::None);
    ~ChildProcess();

    pid_t pid() const { return pid_; }
    // The next line of standard output, or nothing at its end or after timeout.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    // Reads lines until one equals line; false at the end or after timeout.
    bool waitForLine(const std::string& line, std::chrono::milliseconds timeout);
    // The exit status (the code, or 128 + the signal), or nothing while it
    // runs after timeout.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    bool running();
    void signal(int number);
    // Writes text whole to the standard input pipe; false when there is none
    // or the program stopped reading.
    bool writeInput(const std::string& text);
    void closeInput();

private:
    ChildProcess(pid_t pid, int out, int in) : pid_(pid), out_(out), in_(in) {}
    pid_t pid_;
    int out_;
    int in_;
    std::string buffer_;
    std::optional<int> status_;
};

// Runs a command to its end and answers its exit status and standard output.
struct CommandResult {
    int status = -1;
    std::string output;
};
CommandResult runCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                         const std::map<std::string, std::string>& env = {});

}  // namespace testsupport
