#include "LKTTYColorTable.h"

#include <cctype>
#include <cmath>
#include <cstring>
#include <string_view>

namespace {

struct RGB {
    int red, green, blue;
};

// How a typical terminal renders the 16 basic colours.
constexpr RGB k16Colors[16] = {
    {0, 0, 0},       {194, 54, 33},  {37, 188, 36},  {173, 173, 39}, {73, 46, 225},   {211, 56, 211},
    {51, 187, 200},  {203, 204, 205}, {129, 131, 131}, {252, 57, 31},  {49, 231, 34},   {234, 236, 35},
    {88, 51, 255},   {249, 53, 248}, {20, 240, 240}, {233, 235, 235},
};

// Palette entries measured on a real terminal; the rest of the cube uses the
// usual xterm levels and the grey ramp runs evenly between its measured ends.
// The list only serves to find the nearest palette index, so that is faithful
// enough.
struct Measured {
    int index;
    RGB rgb;
};
constexpr Measured kMeasured256[] = {
    {16, {47, 49, 49}},   {17, {60, 42, 144}},  {18, {66, 44, 183}},   {19, {73, 46, 222}},
    {20, {81, 50, 253}},  {21, {88, 51, 255}},  {46, {27, 254, 30}},   {196, {255, 61, 30}},
    {231, {254, 255, 255}},
};
constexpr int kCubeLevels[6] = {0, 95, 135, 175, 215, 255};
constexpr RGB kFirstGrey = {52, 53, 53};   // index 232
constexpr RGB kLastGrey = {240, 242, 242};  // index 255

bool containsIgnoringCase(std::string_view text, std::string_view part) {
    if (part.size() > text.size()) return false;
    for (size_t i = 0; i + part.size() <= text.size(); ++i) {
        size_t j = 0;
        while (j < part.size() &&
               std::tolower(static_cast<unsigned char>(text[i + j])) == std::tolower(static_cast<unsigned char>(part[j])))
            ++j;
        if (j == part.size()) return true;
    }
    return false;
}

int rampStep(int first, int last, int step, int steps) {
    return static_cast<int>(std::lround(first + double(last - first) * step / (steps - 1)));
}

}  // namespace

LKTTYColorMode LKTTYColorTable::modeForEnvironment(const char* xcodeColors, const char* term) {
    if (xcodeColors && std::strcmp(xcodeColors, "YES") == 0) return LKTTYColorMode::RGBConsole;
    if (term && containsIgnoringCase(term, "color"))
        return std::strstr(term, "256") ? LKTTYColorMode::Terminal256 : LKTTYColorMode::Terminal16;
    return LKTTYColorMode::None;
}

const LKTTYColorTable& LKTTYColorTable::forMode(LKTTYColorMode mode) {
    static const LKTTYColorTable empty;
    static const LKTTYColorTable table16 = make16();
    static const LKTTYColorTable table256 = make256();
    switch (mode) {
    case LKTTYColorMode::Terminal16: return table16;
    case LKTTYColorMode::Terminal256: return table256;
    default: return empty;
    }
}

size_t LKTTYColorTable::codeIndexForColor(const LKTTYColor& color) const {
    double best = 100.0;
    size_t bestIndex = 0;
    for (size_t i = 0; i < colors_.size(); ++i) {
        const LKTTYColor& c = colors_[i];
        double distance = std::sqrt(std::pow(c.red - color.red, 2) + std::pow(c.green - color.green, 2) +
                                    std::pow(c.blue - color.blue, 2));
        if (distance < best) {
            best = distance;
            bestIndex = i;
        }
    }
    return bestIndex;
}

LKTTYColorTable LKTTYColorTable::make16() {
    LKTTYColorTable table;
    for (int i = 0; i < 16; ++i) {
        const std::string bold = i < 8 ? "" : "1;";
        table.foregroundCodes_.push_back(bold + std::to_string(30 + i % 8) + "m");
        table.backgroundCodes_.push_back(bold + std::to_string(40 + i % 8) + "m");
        table.colors_.push_back(LKTTYColor::fromRGB255(k16Colors[i].red, k16Colors[i].green, k16Colors[i].blue));
    }
    return table;
}

LKTTYColorTable LKTTYColorTable::make256() {
    LKTTYColorTable table;
    for (int index = 16; index <= 255; ++index) {
        table.foregroundCodes_.push_back("38;5;" + std::to_string(index) + "m");
        table.backgroundCodes_.push_back("48;5;" + std::to_string(index) + "m");
        RGB rgb;
        if (index < 232) {
            int cube = index - 16;
            rgb = {kCubeLevels[cube / 36], kCubeLevels[cube / 6 % 6], kCubeLevels[cube % 6]};
        } else {
            int step = index - 232;
            rgb = {rampStep(kFirstGrey.red, kLastGrey.red, step, 24),
                   rampStep(kFirstGrey.green, kLastGrey.green, step, 24),
                   rampStep(kFirstGrey.blue, kLastGrey.blue, step, 24)};
        }
        for (const Measured& m : kMeasured256)
            if (m.index == index) rgb = m.rgb;
        table.colors_.push_back(LKTTYColor::fromRGB255(rgb.red, rgb.green, rgb.blue));
    }
    return table;
}
