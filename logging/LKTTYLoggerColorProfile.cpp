#include "LKTTYLoggerColorProfile.h"

#include "platform/foundation/Format.h"

namespace {

constexpr const char* kEscape = "\033[";

// Truncates, but a hair above: 194 / 255.0 * 255 may come out just below 194.
uint8_t component255(double component) {
    double value = component * 255 + 1e-9;
    if (value <= 0) return 0;
    if (value >= 255) return 255;
    return static_cast<uint8_t>(value);
}

}  // namespace

LKTTYLoggerColorProfile::LKTTYLoggerColorProfile(std::optional<LKTTYColor> foregroundColor,
                                                 std::optional<LKTTYColor> backgroundColor, uint64_t flag,
                                                 int64_t context, LKTTYColorMode mode)
    : mask_(flag), context_(context) {
    if (foregroundColor) {
        fgRed_ = component255(foregroundColor->red);
        fgGreen_ = component255(foregroundColor->green);
        fgBlue_ = component255(foregroundColor->blue);
    }
    if (backgroundColor) {
        bgRed_ = component255(backgroundColor->red);
        bgGreen_ = component255(backgroundColor->green);
        bgBlue_ = component255(backgroundColor->blue);
    }

    switch (mode) {
    case LKTTYColorMode::Terminal16:
    case LKTTYColorMode::Terminal256: {
        const LKTTYColorTable& table = LKTTYColorTable::forMode(mode);
        if (foregroundColor) {
            fgCodeIndex_ = table.codeIndexForColor(*foregroundColor);
            fgCodeRaw_ = table.foregroundCodes()[fgCodeIndex_];
            fgCode_ = kEscape + *fgCodeRaw_;
        }
        if (backgroundColor) {
            bgCodeIndex_ = table.codeIndexForColor(*backgroundColor);
            bgCodeRaw_ = table.backgroundCodes()[bgCodeIndex_];
            bgCode_ = kEscape + *bgCodeRaw_;
        }
        resetCode_ = "\033[0m";
        break;
    }
    case LKTTYColorMode::RGBConsole:
        if (foregroundColor) fgCode_ = foundation::format("%sfg%u,%u,%u;", kEscape, fgRed_, fgGreen_, fgBlue_);
        if (backgroundColor) bgCode_ = foundation::format("%sbg%u,%u,%u;", kEscape, bgRed_, bgGreen_, bgBlue_);
        resetCode_ = "\033[;";
        break;
    case LKTTYColorMode::None:
        break;
    }
}

std::string LKTTYLoggerColorProfile::description() const {
    return foundation::format("<LKTTYLoggerColorProfile: %p mask:%i ctxt:%ld fg:%u,%u,%u bg:%u,%u,%u fgCode:%@ bgCode:%@>",
                              static_cast<const void*>(this), static_cast<int>(mask_), static_cast<long>(context_),
                              fgRed_, fgGreen_, fgBlue_, bgRed_, bgGreen_, bgBlue_, fgCodeRaw_, bgCodeRaw_);
}
