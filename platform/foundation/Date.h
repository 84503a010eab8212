#pragma once
// A point in time as seconds since 1970-01-01 00:00:00 UTC. Any thread.
//
// now() reads an injectable clock so tests can fix "the current date" without
// sleeping; the dispatch clock is monotonic and cannot stand in for it.

#include <compare>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace foundation {

class Date {
public:
    // Seconds between 1970-01-01 and 2001-01-01, the epoch property lists count from.
    static constexpr double kReferenceDateOffset = 978307200.0;

    Date() = default;
    explicit Date(double secondsSince1970) : seconds_(secondsSince1970) {}

    static Date now();
    static Date fromReferenceDate(double secondsSince2001) { return Date(secondsSince2001 + kReferenceDateOffset); }
    // Replaces the system clock (seconds since 1970); an empty function restores it.
    static void setClock(std::function<double()> clock);
    // Runs the clock the given number of seconds ahead of the system's (behind
    // when negative), as a computer whose clock is wrong; text is a number of
    // seconds. False, the clock left alone, when it is not a finite number.
    static bool offsetClock(const std::string& seconds);

    double timeIntervalSince1970() const { return seconds_; }
    double timeIntervalSinceReferenceDate() const { return seconds_ - kReferenceDateOffset; }
    double timeIntervalSince(const Date& other) const { return seconds_ - other.seconds_; }
    Date addingTimeInterval(double seconds) const { return Date(seconds_ + seconds); }

    // "2024-03-01T12:30:05Z", with a fraction (".25") only when the time has one,
    // written so that parsing it gives back exactly the same date.
    std::string iso8601() const;
    // Accepts "YYYY-MM-DDTHH:MM:SS[.fraction]Z".
    static std::optional<Date> fromISO8601(std::string_view text);
    // "2024-03-01 12:30:05 +0000", the shape logs show.
    std::string description() const;

    auto operator<=>(const Date&) const = default;

private:
    double seconds_ = 0;
};

}  // namespace foundation
