#pragma once
// Points HOME and the XDG folders at a fresh temporary folder for one test and
// removes it afterwards, so a test touches nothing of the user's.

#include <filesystem>
#include <string>

namespace testsupport {

class TempHome {
public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path dataHome() const { return root_ / "data"; }
    std::filesystem::path configHome() const { return root_ / "config"; }
    std::filesystem::path cacheHome() const { return root_ / "cache"; }

private:
    std::filesystem::path root_;
    std::string savedVars_[5];
    bool hadVars_[5] = {};
};

}  // namespace testsupport
