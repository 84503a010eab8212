#pragma once
// A decimal number as prices are given: a whole mantissa and a power of ten,
// so 19.99 is 1999 x 10^-2 exactly and scaling by powers of ten never rounds
// (binary floating point would make 19.99 x 10^6 19989999.999...). A plain
// value; any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/PlistValue.h"

namespace tally {

class Decimal {
public:
    // At most this many significant digits are kept; further digits are dropped.
    static constexpr int kMaxDigits = 18;

    Decimal(int64_t mantissa = 0, int exponent = 0);

    // Decimal text: an optional sign, digits with an optional point and an
    // optional exponent ("19.99", "-2.5", "1e3", ".5"). Nullopt for anything
    // else, white space included.
    static std::optional<Decimal> fromString(std::string_view text);

    int64_t mantissa() const { return mantissa_; }
    int exponent() const { return exponent_; }

    // The value times 10^power; nullopt when the exponent leaves its range.
    std::optional<Decimal> multipliedByPowerOf10(int power) const;

    // An integer when the value is whole and fits 64 bits, else the nearest
    // real.
    foundation::PlistValue numberValue() const;
    // Plain decimal text, "19.99", "2500000", "-0.001".
    std::string stringValue() const;

    bool operator==(const Decimal& other) const;

private:
    static constexpr int kMaxExponent = 64;

    int64_t mantissa_;
    int exponent_;  // trailing zeros of the mantissa are moved here
};

}  // namespace tally
