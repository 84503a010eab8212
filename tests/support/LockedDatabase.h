#pragma once
// A separate process that holds an SQLite database locked (exclusive locking
// mode inside an exclusive transaction, or an open write transaction) for as
// long as this object lives, as another running instance of the application
// would. The holder is the sqlite3 shell started with exec: a forked copy of a
// threaded test program may not allocate (another thread can hold the
// allocator's lock at the fork) and would then hang before the lock is taken.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>

namespace testsupport {

class LockedDatabase {
public:
    // Exclusive: nobody else may open or read it. Writer: an open write
    // transaction, as a running instance in the middle of a save, so others
    // that have it open can read but not write.
    enum class Mode { Exclusive, Writer };

    explicit LockedDatabase(const std::filesystem::path& path, Mode mode = Mode::Exclusive) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0) return;
        if (pipe2(out, O_CLOEXEC) != 0) {
            close(in[0]);
            close(in[1]);
            return;
        }
        std::string file = path.string();
        child_ = fork();
        if (child_ == 0) {
            // Only async-signal-safe calls until exec.
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            execlp("sqlite3", "sqlite3", "-batch", file.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        input_ = in[1];
        if (child_ < 0) {
            close(out[0]);
            return;
        }
        std::string commands = mode == Mode::Exclusive
                                   ? "PRAGMA locking_mode=EXCLUSIVE;\nBEGIN EXCLUSIVE;\nSELECT count(*) FROM sqlite_master;\n"
                                   : "BEGIN IMMEDIATE;\n";
        commands += ".print locked-ready\n";
        locked_ = write(input_, commands.data(), commands.size()) == static_cast<ssize_t>(commands.size()) &&
                  waitForReady(out[0]);
        close(out[0]);
    }
    ~LockedDatabase() {
        if (input_ >= 0) close(input_);
        if (child_ <= 0) return;
        kill(child_, SIGKILL);
        waitpid(child_, nullptr, 0);
    }
    LockedDatabase(const LockedDatabase&) = delete;
    LockedDatabase& operator=(const LockedDatabase&) = delete;

    bool locked() const { return locked_; }

private:
    // The shell prints the marker only after the statements before it ran.
    static bool waitForReady(int fd) {
        std::string seen;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (seen.find("locked-ready") == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                              std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
            char buffer[256];
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0) return false;
            seen.append(buffer, static_cast<size_t>(n));
        }
        return true;
    }

    pid_t child_ = -1;
    int input_ = -1;
    bool locked_ = false;
};

}  // namespace testsupport
