#include "Date.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace foundation {

namespace {

std::mutex& clockMutex() {
    static std::mutex mutex;
    return mutex;
}

std::function<double()>& injectedClock() {
    static std::function<double()> clock;
    return clock;
}

// Civil-date arithmetic on the proleptic Gregorian calendar, independent of the
// process's time zone.
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

struct Civil {
    int64_t year;
    unsigned month, day, hour, minute, second;
    double fraction;
};

Civil toCivil(double seconds) {
    const double whole = std::floor(seconds);
    Civil c{};
    c.fraction = seconds - whole;  // exact: both are doubles of the same magnitude
    const int64_t total = static_cast<int64_t>(whole);
    int64_t days = total / 86400;
    int64_t rest = total % 86400;
    if (rest < 0) {
        rest += 86400;
        days -= 1;
    }
    civilFromDays(days, c.year, c.month, c.day);
    c.hour = static_cast<unsigned>(rest / 3600);
    c.minute = static_cast<unsigned>(rest % 3600 / 60);
    c.second = static_cast<unsigned>(rest % 60);
    return c;
}

bool readDigits(std::string_view text, size_t& pos, size_t count, unsigned& out) {
    if (pos + count > text.size()) return false;
    out = 0;
    for (size_t i = 0; i < count; ++i) {
        char ch = text[pos + i];
        if (ch < '0' || ch > '9') return false;
        out = out * 10 + static_cast<unsigned>(ch - '0');
    }
    pos += count;
    return true;
}

bool expect(std::string_view text, size_t& pos, char ch) {
    if (pos >= text.size() || text[pos] != ch) return false;
    ++pos;
    return true;
}

// Dates read from files may hold any double; beyond a few million years the
// calendar arithmetic would overflow, so such dates print as the epoch.
bool representable(double seconds) {
    return std::isfinite(seconds) && std::fabs(seconds) < 1e14;
}

}  // namespace

Date Date::now() {
    {
        std::lock_guard lock(clockMutex());
        if (injectedClock()) return Date(injectedClock()());
    }
    auto since = std::chrono::system_clock::now().time_since_epoch();
    return Date(std::chrono::duration<double>(since).count());
}

void Date::setClock(std::function<double()> clock) {
    std::lock_guard lock(clockMutex());
    injectedClock() = std::move(clock);
}

bool Date::offsetClock(const std::string& seconds) {
    char* end = nullptr;
    const double offset = std::strtod(seconds.c_str(), &end);
    if (seconds.empty() || *end != '\0' || !std::isfinite(offset)) return false;
    setClock([offset] {
        const auto since = std::chrono::system_clock::now().time_since_epoch();
        return std::chrono::duration<double>(since).count() + offset;
    });
    return true;
}

std::string Date::iso8601() const {
    if (!representable(seconds_)) return "1970-01-01T00:00:00Z";
    Civil c = toCivil(seconds_);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04lld-%02u-%02uT%02u:%02u:%02u", static_cast<long long>(c.year), c.month,
                  c.day, c.hour, c.minute, c.second);
    std::string out = buffer;
    if (c.fraction > 0) {
        // The shortest fixed text that reads back as the same fraction; the whole
        // seconds plus that fraction then give back the original double.
        char digits[64];
        auto [end, ec] = std::to_chars(digits, digits + sizeof digits, c.fraction, std::chars_format::fixed);
        if (ec == std::errc() && end - digits > 2) out.append(digits + 1, end);  // ".xyz"
    }
    return out + "Z";
}

std::optional<Date> Date::fromISO8601(std::string_view text) {
    size_t pos = 0;
    bool negative = false;
    if (!text.empty() && text[0] == '-') {
        negative = true;
        ++pos;
    }
    unsigned year, month, day, hour, minute, second;
    if (!readDigits(text, pos, 4, year) || !expect(text, pos, '-') || !readDigits(text, pos, 2, month) ||
        !expect(text, pos, '-') || !readDigits(text, pos, 2, day) || !expect(text, pos, 'T') ||
        !readDigits(text, pos, 2, hour) || !expect(text, pos, ':') || !readDigits(text, pos, 2, minute) ||
        !expect(text, pos, ':') || !readDigits(text, pos, 2, second))
        return std::nullopt;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return std::nullopt;
    double fraction = 0;
    if (pos < text.size() && text[pos] == '.') {
        size_t start = pos;
        ++pos;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') ++pos;
        if (pos == start + 1) return std::nullopt;
        std::string digits = "0" + std::string(text.substr(start, pos - start));
        auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), fraction);
        if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    }
    if (!expect(text, pos, 'Z') || pos != text.size()) return std::nullopt;
    int64_t y = negative ? -static_cast<int64_t>(year) : year;
    int64_t days = daysFromCivil(y, month, day);
    double whole = static_cast<double>(days * 86400 + hour * 3600 + minute * 60 + second);
    return Date(whole + fraction);
}

std::string Date::description() const {
    if (!representable(seconds_)) return "1970-01-01 00:00:00 +0000";
    Civil c = toCivil(seconds_);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04lld-%02u-%02u %02u:%02u:%02u +0000", static_cast<long long>(c.year),
                  c.month, c.day, c.hour, c.minute, c.second);
    return buffer;
}

}  // namespace foundation
