#pragma once
// A child process that holds an SQLite database locked (exclusive locking mode
// inside an exclusive transaction) for as long as this object lives, as another
// running instance of the application would. Tests that use it link SQLite.

#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

namespace testsupport {

class LockedDatabase {
public:
    // Exclusive: nobody else may open or read it. Writer: an open write
    // transaction, as a running instance in the middle of a save, so others
    // that have it open can read but not write.
    enum class Mode { Exclusive, Writer };

    explicit LockedDatabase(const std::filesystem::path& path, Mode mode = Mode::Exclusive) {
        int ready[2];
        if (pipe(ready) != 0) return;
        child_ = fork();
        if (child_ == 0) {
            sqlite3* db = nullptr;
            sqlite3_open(path.c_str(), &db);
            sqlite3_exec(db,
                         mode == Mode::Exclusive
                             ? "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; SELECT count(*) FROM sqlite_master;"
                             : "BEGIN IMMEDIATE;",
                         nullptr, nullptr, nullptr);
            char c = 1;
            (void)!write(ready[1], &c, 1);
            pause();
            _exit(0);
        }
        char c = 0;
        locked_ = child_ > 0 && read(ready[0], &c, 1) == 1;
        close(ready[0]);
        close(ready[1]);
    }
    ~LockedDatabase() {
        if (child_ <= 0) return;
        kill(child_, SIGKILL);
        waitpid(child_, nullptr, 0);
    }
    LockedDatabase(const LockedDatabase&) = delete;
    LockedDatabase& operator=(const LockedDatabase&) = delete;

    bool locked() const { return locked_; }

private:
    pid_t child_ = -1;
    bool locked_ = false;
};

}  // namespace testsupport
