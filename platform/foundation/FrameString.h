#pragma once
// Rectangles written as text, "{{x, y}, {width, height}}": the window frame in
// the settings and the browser's stored geometry. Reading is lenient: the
// first four numbers found are taken in that order and a missing or unreadable
// one reads 0, so a damaged setting gives a zero rectangle, never an error.
#include <string>
#include <string_view>

namespace foundation {

struct FrameRect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    bool operator==(const FrameRect&) const = default;
};

class FrameString {
public:
    static FrameRect rectFromString(std::string_view text);
    // Whole numbers are written without a fraction: "{{20, 20}, {360, 600}}".
    static std::string stringFromRect(const FrameRect& rect);
};

}  // namespace foundation
