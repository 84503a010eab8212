#pragma once
// A temporary folder for one test, with helpers to write fixture files.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace beacontest {

class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // Writes the file (making its folders) and returns its path.
    std::filesystem::path write(const std::string& relativePath, std::string_view contents) const;
    std::filesystem::path write(const std::string& relativePath, const std::vector<uint8_t>& contents) const;

private:
    std::filesystem::path path_;
};

}  // namespace beacontest
