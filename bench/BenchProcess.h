#pragma once
// Programs a benchmark starts in homes of their own: spawning with a changed
// environment, running to the end, stopping, resident memory and medians; a
// CopyQ home holding 10,000 items.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

extern char** environ;

namespace bench {

struct Home {
    std::filesystem::path root;
    std::map<std::string, std::string> env() const {
        return {{"HOME", root.string()},
                {"XDG_DATA_HOME", (root / "data").string()},
                {"XDG_CONFIG_HOME", (root / "config").string()},
                {"XDG_CACHE_HOME", (root / "cache").string()}};
    }
};

inline Home makeHome(const std::string& name) {
    std::filesystem::path root = std::filesystem::temp_directory_path() / name;
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root);
    return {root};
}

inline pid_t spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                   bool quiet = true) {
    std::vector<std::string> entries;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        if (!env.count(name)) entries.push_back(entry);
    }
    for (const auto& [name, value] : env) entries.push_back(name + "=" + value);
    std::vector<char*> envp, args;
    for (auto& e : entries) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> copy = argv;
    for (auto& a : copy) args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (quiet) {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

inline int runToEnd(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env) {
    pid_t pid = spawn(argv, env);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) < 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline void stop(pid_t pid) {
    using namespace std::chrono_literals;
    kill(pid, SIGTERM);
    for (int i = 0; i < 500; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return;
        std::this_thread::sleep_for(10ms);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

inline long vmRssKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

// A field of this process's /proc status in KiB ("VmHWM:", "VmRSS:"), or -1.
inline long selfStatusKiB(const char* field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::string_view(field).size());
    return -1;
}

// Lets this process's peak resident size start again from the current one.
inline void resetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

// Runs a shell command; its exit status, or -1.
inline int runShell(const std::string& command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline double ms(std::chrono::steady_clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

inline double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// A home of that name where Debian's CopyQ keeps 10,000 items of 1 KB (its most).
inline Home prepareCopyQ(const std::string& name) {
    using namespace std::chrono_literals;
    Home home = makeHome(name);
    auto env = home.env();
    pid_t server = spawn({"copyq"}, env);
    for (int i = 0; i < 200 && runToEnd({"copyq", "count"}, env) != 0; ++i) std::this_thread::sleep_for(50ms);
    runToEnd({"copyq", "config", "maxitems", "10000"}, env);
    std::string kilobyte(1000, 'x');
    runToEnd({"copyq", "eval", "for (var i = 0; i < 10000; ++i) add(str(i) + ' " + kilobyte + "')"}, env);
    runToEnd({"copyq", "exit"}, env);
    waitpid(server, nullptr, 0);
    return home;
}

}  // namespace bench
