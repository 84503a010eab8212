#pragma once
// One colour assignment of the console logger (for a flag mask and context, or
// for a tag) with its escape sequences ready to write. Immutable once made, so
// it may be read from any queue.

#include <cstdint>
#include <optional>
#include <string>

#include "LKTTYColorTable.h"

// The context that stands for every context.
constexpr int64_t LKTTYLoggerEveryContext = 2147483647;

class LKTTYLoggerColorProfile {
public:
    // A missing colour leaves its code empty. The codes follow the mode: the
    // nearest table entry for a terminal, exact values for an RGB console,
    // nothing without colours.
    LKTTYLoggerColorProfile(std::optional<LKTTYColor> foregroundColor, std::optional<LKTTYColor> backgroundColor,
                            uint64_t flag, int64_t context, LKTTYColorMode mode);

    uint64_t mask() const { return mask_; }
    int64_t context() const { return context_; }

    // Components 0..255, truncated from the colour's 0..1 values.
    uint8_t foregroundRed() const { return fgRed_; }
    uint8_t foregroundGreen() const { return fgGreen_; }
    uint8_t foregroundBlue() const { return fgBlue_; }
    uint8_t backgroundRed() const { return bgRed_; }
    uint8_t backgroundGreen() const { return bgGreen_; }
    uint8_t backgroundBlue() const { return bgBlue_; }

    // Terminal modes: the table entry chosen and its code text ("1;31m").
    uint64_t foregroundCodeIndex() const { return fgCodeIndex_; }
    uint64_t backgroundCodeIndex() const { return bgCodeIndex_; }
    const std::optional<std::string>& foregroundCodeRaw() const { return fgCodeRaw_; }
    const std::optional<std::string>& backgroundCodeRaw() const { return bgCodeRaw_; }

    // The bytes written before and after a line.
    const std::string& foregroundCode() const { return fgCode_; }
    const std::string& backgroundCode() const { return bgCode_; }
    const std::string& resetCode() const { return resetCode_; }

    std::string description() const;

private:
    uint64_t mask_;
    int64_t context_;
    uint8_t fgRed_ = 0, fgGreen_ = 0, fgBlue_ = 0;
    uint8_t bgRed_ = 0, bgGreen_ = 0, bgBlue_ = 0;
    uint64_t fgCodeIndex_ = 0;
    uint64_t bgCodeIndex_ = 0;
    std::optional<std::string> fgCodeRaw_;
    std::optional<std::string> bgCodeRaw_;
    std::string fgCode_;
    std::string bgCode_;
    std::string resetCode_;
};
