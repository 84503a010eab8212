#pragma once
// The colour modes of the console logger and the tables that turn a colour into
// a terminal's escape code: 16 colours ("30m".."1;37m") or the 240 palette
// entries 16..255 of a 256-colour terminal ("38;5;%dm"). Tables are built once
// and only read afterwards, so any thread may use them.

#include <cstddef>
#include <string>
#include <vector>

// How the console shows colour, decided from the environment.
enum class LKTTYColorMode {
    None,         // no escape sequences at all
    RGBConsole,   // a console plug-in that takes exact RGB values ("XcodeColors")
    Terminal16,   // a 16-colour terminal
    Terminal256,  // a 256-colour terminal
};

// A colour in calibrated RGB, each component 0 to 1.
struct LKTTYColor {
    double red = 0;
    double green = 0;
    double blue = 0;

    // From 0..255 components, as the tables are written.
    static LKTTYColor fromRGB255(int red, int green, int blue) { return {red / 255.0, green / 255.0, blue / 255.0}; }
    bool operator==(const LKTTYColor&) const = default;
};

class LKTTYColorTable {
public:
    // "XcodeColors" equal to "YES" wins; otherwise a TERM that contains "color"
    // (any case) selects a terminal table, the 256 one when it also contains "256".
    static LKTTYColorMode modeForEnvironment(const char* xcodeColors, const char* term);
    // The table of a terminal mode; the other modes have an empty one.
    static const LKTTYColorTable& forMode(LKTTYColorMode mode);

    size_t size() const { return colors_.size(); }
    const std::vector<std::string>& foregroundCodes() const { return foregroundCodes_; }
    const std::vector<std::string>& backgroundCodes() const { return backgroundCodes_; }
    const std::vector<LKTTYColor>& colors() const { return colors_; }

    // The index of the entry nearest to the colour (straight-line RGB distance);
    // the first of equally near entries; 0 for an empty table.
    size_t codeIndexForColor(const LKTTYColor& color) const;

private:
    static LKTTYColorTable make16();
    static LKTTYColorTable make256();

    std::vector<std::string> foregroundCodes_;
    std::vector<std::string> backgroundCodes_;
    std::vector<LKTTYColor> colors_;
};
