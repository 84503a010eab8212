// Reading analytics event log files in tests: a file's lines, and the event key
// each line carries between its first and second tab.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace testsupport {

inline std::vector<std::string> lines(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

inline std::string keyOf(const std::string& line) {
    size_t tab = line.find('\t');
    return line.substr(tab + 1, line.find('\t', tab + 1) - tab - 1);
}

inline std::vector<std::string> keys(const std::filesystem::path& file) {
    std::vector<std::string> out;
    for (const auto& line : lines(file)) out.push_back(keyOf(line));
    return out;
}

}  // namespace testsupport
