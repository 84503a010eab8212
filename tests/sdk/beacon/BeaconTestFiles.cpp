#include "tests/sdk/beacon/BeaconTestFiles.h"

#include <cstdlib>
#include <fstream>
#include <system_error>

namespace beacontest {

TempFolder::TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tavlo-beacon-XXXXXX").string();
    char* made = ::mkdtemp(pattern.data());
    path_ = made ? std::filesystem::path(made) : std::filesystem::temp_directory_path() / "tavlo-beacon";
}

TempFolder::~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::filesystem::path TempFolder::write(const std::string& relativePath, std::string_view contents) const {
    std::filesystem::path file = path_ / relativePath;
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    return file;
}

std::filesystem::path TempFolder::write(const std::string& relativePath, const std::vector<uint8_t>& contents) const {
    return write(relativePath,
                 std::string_view(reinterpret_cast<const char*>(contents.data()), contents.size()));
}

}  // namespace beacontest
