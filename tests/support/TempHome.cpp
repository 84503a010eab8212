#include "TempHome.h"

#include <cstdlib>
#include <system_error>

namespace testsupport {

namespace {
const char* const kVars[5] = {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"};
}

TempHome::TempHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tavlo-test-XXXXXX").string();
    char* made = ::mkdtemp(pattern.data());
    root_ = made ? std::filesystem::path(made) : std::filesystem::temp_directory_path() / "tavlo-test";
    const std::filesystem::path values[5] = {root_ / "home", dataHome(), configHome(), cacheHome(), root_ / "run"};
    for (int i = 0; i < 5; ++i) {
        if (const char* old = std::getenv(kVars[i])) {
            hadVars_[i] = true;
            savedVars_[i] = old;
        }
        std::error_code ec;
        std::filesystem::create_directories(values[i], ec);
        ::setenv(kVars[i], values[i].c_str(), 1);
    }
}

TempHome::~TempHome() {
    for (int i = 0; i < 5; ++i) {
        if (hadVars_[i]) ::setenv(kVars[i], savedVars_[i].c_str(), 1);
        else ::unsetenv(kVars[i]);
    }
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
}

}  // namespace testsupport
