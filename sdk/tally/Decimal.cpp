#include "sdk/tally/Decimal.h"

#include <cstdlib>
#include <limits>

namespace tally {

Decimal::Decimal(int64_t mantissa, int exponent) : mantissa_(mantissa), exponent_(exponent) {
    if (mantissa_ == 0) {
        exponent_ = 0;
        return;
    }
    while (mantissa_ % 10 == 0) {
        mantissa_ /= 10;
        ++exponent_;
    }
}

std::optional<Decimal> Decimal::fromString(std::string_view text) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int64_t mantissa = 0;
    int digits = 0;     // significant digits kept
    int exponent = 0;
    bool sawDigit = false;
    bool afterPoint = false;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c == '.' && !afterPoint) {
            afterPoint = true;
            continue;
        }
        if (c < '0' || c > '9') break;
        sawDigit = true;
        if (mantissa == 0 && c == '0') {
            if (afterPoint) --exponent;
            continue;
        }
        if (digits < kMaxDigits) {
            mantissa = mantissa * 10 + (c - '0');
            ++digits;
            if (afterPoint) --exponent;
        } else if (!afterPoint) {
            ++exponent;  // a dropped digit before the point still counts its place
        }
    }
    if (!sawDigit) return std::nullopt;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        bool negativeExponent = false;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) negativeExponent = text[i++] == '-';
        if (i == text.size()) return std::nullopt;
        int power = 0;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
            power = power * 10 + (text[i] - '0');
            if (power > 1000) return std::nullopt;
        }
        exponent += negativeExponent ? -power : power;
    }
    if (i != text.size()) return std::nullopt;
    if (mantissa != 0 && (exponent > kMaxExponent || exponent < -kMaxExponent)) return std::nullopt;
    return Decimal(negative ? -mantissa : mantissa, exponent);
}

std::optional<Decimal> Decimal::multipliedByPowerOf10(int power) const {
    if (mantissa_ == 0) return *this;
    int exponent = exponent_ + power;
    if (exponent > kMaxExponent || exponent < -kMaxExponent) return std::nullopt;
    return Decimal(mantissa_, exponent);
}

foundation::PlistValue Decimal::numberValue() const {
    if (exponent_ >= 0) {
        int64_t value = mantissa_;
        int e = exponent_;
        for (; e > 0; --e) {
            if (value > std::numeric_limits<int64_t>::max() / 10 || value < std::numeric_limits<int64_t>::min() / 10) break;
            value *= 10;
        }
        if (e == 0) return foundation::PlistValue(value);
    }
    // The text's nearest double, correctly rounded by strtod.
    std::string text = std::to_string(mantissa_) + "e" + std::to_string(exponent_);
    return foundation::PlistValue(std::strtod(text.c_str(), nullptr));
}

std::string Decimal::stringValue() const {
    bool negative = mantissa_ < 0;
    std::string digits = std::to_string(mantissa_);
    if (negative) digits.erase(0, 1);
    std::string out;
    if (exponent_ >= 0) {
        out = digits + std::string(static_cast<size_t>(exponent_), '0');
    } else {
        size_t fraction = static_cast<size_t>(-exponent_);
        if (digits.size() <= fraction) digits.insert(0, fraction - digits.size() + 1, '0');
        out = digits.substr(0, digits.size() - fraction) + "." + digits.substr(digits.size() - fraction);
    }
    return negative ? "-" + out : out;
}

bool Decimal::operator==(const Decimal& other) const {
    return mantissa_ == other.mantissa_ && exponent_ == other.exponent_;
}

}  // namespace tally
