#pragma once
// One PostgreSQL server per test program, with a database per test: initdb
// and pg_ctl (found on PATH, in `pg_config --bindir` or
// /usr/lib/postgresql/15/bin) in a temporary folder, listening on a Unix
// socket in that folder only, run as the `postgres` user when the program
// runs as root (initdb refuses root). A watchdog process stops it with
// `-m immediate` and removes the folder when the program ends, however it
// ends. Without the binaries, shared() is null and skipReason() says why.

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

class PostgresServer {
public:
    static constexpr const char* kMissingBinaries = "PostgreSQL server binaries not found: run scripts/setup";

    // The program's server, started on first use; null when it cannot run.
    static PostgresServer* shared();
    static const std::string& skipReason();
    // The folder holding initdb and pg_ctl, or empty.
    static std::filesystem::path binaries();

    // The socket folder (also the server's temporary folder).
    const std::filesystem::path& folder() const { return folder_; }
    // libpq keywords reaching database on this server.
    std::string connection(const std::string& database) const;
    // Makes an empty database; false when the server refused.
    bool createDatabase(const std::string& database);
    // A fresh database for the running test (its name from the suite and test,
    // made unique), answered as its connection; empty on failure.
    std::string databaseForCurrentTest();

    // Stops the server at once (-m immediate), as a crash would; start()
    // brings it back over the same data and socket.
    bool stop();
    bool start();

    ~PostgresServer();

private:
    PostgresServer() = default;
    bool run(const std::vector<std::string>& arguments);
    std::string asServerUser(const std::string& command) const;

    std::filesystem::path bin_;
    std::filesystem::path folder_;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    bool switchUser_ = false;
    int watchdog_ = -1;
    pid_t watchdogPid_ = -1;
    int databases_ = 0;
};

}  // namespace testsupport
