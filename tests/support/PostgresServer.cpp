#include "PostgresServer.h"

#include <fcntl.h>
#include <grp.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace testsupport {

namespace {

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

bool hasServerBinaries(const std::filesystem::path& folder) {
    return !folder.empty() && ::access((folder / "initdb").c_str(), X_OK) == 0 &&
           ::access((folder / "pg_ctl").c_str(), X_OK) == 0;
}

std::filesystem::path findBinaries() {
    if (const char* path = std::getenv("PATH")) {
        std::string list = path;
        for (size_t start = 0; start <= list.size();) {
            const size_t colon = std::min(list.find(':', start), list.size());
            const std::filesystem::path folder = list.substr(start, colon - start);
            if (hasServerBinaries(folder)) return folder;
            start = colon + 1;
        }
    }
    if (FILE* pipe = ::popen("pg_config --bindir 2>/dev/null", "r")) {
        char line[4096] = {};
        const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
        ::pclose(pipe);
        std::string folder = read ? line : "";
        while (!folder.empty() && (folder.back() == '\n' || folder.back() == ' ')) folder.pop_back();
        if (hasServerBinaries(folder)) return folder;
    }
    if (hasServerBinaries("/usr/lib/postgresql/15/bin")) return "/usr/lib/postgresql/15/bin";
    return {};
}

std::mutex sharedMutex;
std::unique_ptr<PostgresServer> sharedServer;
bool sharedTried = false;
std::string sharedReason;

}  // namespace

std::filesystem::path PostgresServer::binaries() {
    static const std::filesystem::path folder = findBinaries();
    return folder;
}

const std::string& PostgresServer::skipReason() { return sharedReason; }

PostgresServer* PostgresServer::shared() {
    std::lock_guard lock(sharedMutex);
    if (sharedTried) return sharedServer.get();
    sharedTried = true;
    std::unique_ptr<PostgresServer> server(new PostgresServer());
    server->bin_ = binaries();
    if (server->bin_.empty()) {
        sharedReason = kMissingBinaries;
        return nullptr;
    }
    server->uid_ = ::getuid();
    server->gid_ = ::getgid();
    if (::geteuid() == 0) {
        const passwd* user = ::getpwnam("postgres");
        if (!user) {
            sharedReason = "PostgreSQL cannot run as root and there is no postgres user: run scripts/setup";
            return nullptr;
        }
        server->uid_ = user->pw_uid;
        server->gid_ = user->pw_gid;
        server->switchUser_ = true;
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tavlo-pg-XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        sharedReason = "no temporary folder for the PostgreSQL server";
        return nullptr;
    }
    server->folder_ = pattern;
    if (server->switchUser_ && ::chown(pattern.c_str(), server->uid_, server->gid_) != 0) {
        std::filesystem::remove_all(server->folder_);
        sharedReason = "the PostgreSQL server's folder cannot be given to the postgres user";
        return nullptr;
    }

    // The watchdog: when this program's end closes the pipe, it stops the
    // server and removes the folder, after a crash too.
    int pipes[2];
    if (::pipe2(pipes, O_CLOEXEC) != 0) {
        std::filesystem::remove_all(server->folder_);
        sharedReason = "no pipe for the PostgreSQL watchdog";
        return nullptr;
    }
    const std::string script =
        "cat >/dev/null; " +
        server->asServerUser(quoted((server->bin_ / "pg_ctl").string()) + " stop -m immediate -D " +
                             quoted((server->folder_ / "data").string())) +
        " >/dev/null 2>&1; rm -rf " + quoted(server->folder_.string());
    const pid_t watchdog = ::fork();
    if (watchdog == 0) {
        ::dup2(pipes[0], 0);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::setsid();  // not stopped with the program's process group
        ::execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(pipes[0]);
    server->watchdog_ = pipes[1];
    server->watchdogPid_ = watchdog;

    const std::string data = (server->folder_ / "data").string();
    if (!server->run({(server->bin_ / "initdb").string(), "-D", data, "-A", "trust", "-U", "postgres", "-E", "UTF8",
                      "--no-locale", "--no-sync", "--no-instructions"}) ||
        !server->start()) {
        sharedReason = "the PostgreSQL server did not start; its log is in " + server->folder_.string();
        return nullptr;  // the watchdog cleans up at exit
    }
    sharedServer = std::move(server);
    // Stopped at a normal exit before the static objects go.
    std::atexit([] {
        std::lock_guard lock(sharedMutex);
        sharedServer.reset();
    });
    return sharedServer.get();
}

std::string PostgresServer::asServerUser(const std::string& command) const {
    if (!switchUser_) return command;
    return "setpriv --reuid=" + std::to_string(uid_) + " --regid=" + std::to_string(gid_) + " --clear-groups " + command;
}

bool PostgresServer::run(const std::vector<std::string>& arguments) {
    const std::string log = (folder_ / "log").string();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, 0);
        if (switchUser_) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(gid_) != 0 || ::setuid(uid_) != 0) ::_exit(126);
        }
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        ::dup2(out, 1);
        ::dup2(out, 2);
        std::vector<char*> argv;
        for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool PostgresServer::start() {
    const std::string options = "-c listen_addresses='' -k " + folder_.string() +
                                " -c fsync=off -c synchronous_commit=off -c full_page_writes=off";
    return run({(bin_ / "pg_ctl").string(), "start", "-w", "-t", "60", "-D", (folder_ / "data").string(), "-l",
                (folder_ / "server.log").string(), "-o", options});
}

bool PostgresServer::stop() {
    return run({(bin_ / "pg_ctl").string(), "stop", "-m", "immediate", "-D", (folder_ / "data").string()});
}

PostgresServer::~PostgresServer() {
    if (watchdog_ >= 0) ::close(watchdog_);
    if (watchdogPid_ > 0) {
        int status = 0;
        while (::waitpid(watchdogPid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

std::string PostgresServer::connection(const std::string& database) const {
    return "host=" + folder_.string() + " dbname=" + database + " user=postgres";
}

bool PostgresServer::createDatabase(const std::string& database) {
    PGconn* conn = PQconnectdb(connection("postgres").c_str());
    bool made = false;
    if (PQstatus(conn) == CONNECTION_OK) {
        PGresult* result = PQexec(conn, ("CREATE DATABASE \"" + database + "\" STRATEGY = FILE_COPY").c_str());
        made = PQresultStatus(result) == PGRES_COMMAND_OK;
        if (!made) ADD_FAILURE() << PQresultErrorMessage(result);
        PQclear(result);
    } else {
        ADD_FAILURE() << PQerrorMessage(conn);
    }
    PQfinish(conn);
    return made;
}

std::string PostgresServer::databaseForCurrentTest() {
    std::string name = "t" + std::to_string(++databases_);
    if (const auto* info = ::testing::UnitTest::GetInstance()->current_test_info()) {
        for (char c : std::string(info->test_suite_name()) + "_" + info->name())
            if (std::isalnum(static_cast<unsigned char>(c)) && name.size() < 60) name += static_cast<char>(std::tolower(c));
    }
    return createDatabase(name) ? connection(name) : std::string();
}

}  // namespace testsupport
