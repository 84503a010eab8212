#include "Paths.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace foundation {

namespace {

// The XDG rule: a variable that is unset, empty or relative is ignored.
std::filesystem::path fromVariable(const char* name, const char* fallbackBelowHome) {
    const char* value = std::getenv(name);
    if (value && value[0] == '/') return value;
    return Paths::home() / fallbackBelowHome;
}

}  // namespace

std::filesystem::path Paths::home() {
    const char* value = std::getenv("HOME");
    if (value && value[0] == '/') return value;
    if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) return entry->pw_dir;
    return "/";
}

std::filesystem::path Paths::dataHome() {
    return fromVariable("XDG_DATA_HOME", ".local/share");
}

std::filesystem::path Paths::configHome() {
    return fromVariable("XDG_CONFIG_HOME", ".config");
}

std::filesystem::path Paths::cacheHome() {
    return fromVariable("XDG_CACHE_HOME", ".cache");
}

std::filesystem::path Paths::applicationGroupContainer() {
    return dataHome() / kApplicationFolder;
}

std::filesystem::path Paths::preferences() {
    return configHome() / kApplicationFolder;
}

std::filesystem::path Paths::temporaryDirectory() {
    return cacheHome() / kApplicationFolder / "tmp";
}

std::filesystem::path Paths::applicationScripts() {
    return dataHome() / kApplicationFolder / "Scripts";
}

std::filesystem::path Paths::autostart() {
    return configHome() / "autostart";
}

Result<void> Paths::createDirectory(const std::filesystem::path& path, unsigned mode) {
    std::filesystem::path partial;
    for (const auto& part : path) {
        partial /= part;
        if (::mkdir(partial.c_str(), mode) == 0) continue;
        if (errno == EEXIST) {
            struct stat st {};
            if (::stat(partial.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
            errno = ENOTDIR;
        }
        Error error("NSPOSIXErrorDomain", errno, std::string("cannot create folder: ") + std::strerror(errno));
        error.userInfo["NSFilePath"] = partial.string();
        return error;
    }
    return {};
}

}  // namespace foundation
