#pragma once
// Tavlo's top-level windows as the X server lists them, for the program tests
// that look for the tray icon and the windows Tavlo maps.

#include <chrono>
#include <ostream>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/ChildProcess.h"

namespace testsupport {

// A window's place on the root window.
struct Place {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const Place&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Place& place) {
    return out << "(" << place.x << ", " << place.y << ", " << place.width << ", " << place.height << ")";
}

// Every window named "Tavlo" of class Tavlo, with its id, in tree order.
inline std::vector<std::pair<std::string, Place>> tavloWindows() {
    std::string tree = runCommand({"xwininfo", "-root", "-tree"}, std::chrono::seconds(5)).output;
    static const std::regex line(
        R"((0x[0-9a-f]+) "Tavlo": \("Tavlo" "Tavlo"\)\s+(\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+))");
    std::vector<std::pair<std::string, Place>> out;
    for (std::sregex_iterator it(tree.begin(), tree.end(), line), end; it != end; ++it) {
        const auto& m = *it;
        out.push_back({m[1], {std::stoi(m[4]), std::stoi(m[5]), std::stoi(m[2]), std::stoi(m[3])}});
    }
    return out;
}

// The tray icons among them: windows of icon size.
inline std::vector<Place> trayIcons() {
    std::vector<Place> icons;
    for (const auto& [id, place] : tavloWindows())
        if (place.width <= 48 && place.height <= 48 && place.width > 1) icons.push_back(place);
    return icons;
}

}  // namespace testsupport
