#include "LKLogFileDateFormatter.h"

#include <chrono>
#include <cstdio>

namespace {

bool digits(std::string_view text, size_t at, size_t count, int& value) {
    value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

}  // namespace

std::string LKLogFileDateFormatter::stringFromDate(logging::Timestamp date) {
    using namespace std::chrono;
    auto minutes = floor<std::chrono::minutes>(date);
    auto day = floor<days>(minutes);
    year_month_day ymd{day};
    hh_mm_ss hms{minutes - day};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u %02d-%02d", int(ymd.year()), unsigned(ymd.month()),
                  unsigned(ymd.day()), int(hms.hours().count()), int(hms.minutes().count()));
    return text;
}

std::optional<logging::Timestamp> LKLogFileDateFormatter::dateFromString(std::string_view text) {
    using namespace std::chrono;
    // 0123456789012345
    // yyyy-MM-dd HH-mm
    if (text.size() != 16 || text[4] != '-' || text[7] != '-' || text[10] != ' ' || text[13] != '-') return std::nullopt;
    int y, mo, d, h, mi;
    if (!digits(text, 0, 4, y) || !digits(text, 5, 2, mo) || !digits(text, 8, 2, d) || !digits(text, 11, 2, h) ||
        !digits(text, 14, 2, mi))
        return std::nullopt;
    year_month_day ymd{year(y), month(unsigned(mo)), day(unsigned(d))};
    if (!ymd.ok() || h > 23 || mi > 59) return std::nullopt;
    return time_point_cast<system_clock::duration>(sys_days(ymd) + hours(h) + minutes(mi));
}
