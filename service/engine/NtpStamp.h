// The 64-bit NTP time value: seconds since 1900-01-01 00:00 UTC and a fraction in units of
// 2^-32 s. The same record is a signed two's-complement difference (an offset or a delay).
#pragma once

#include "common/PlatformTypes.h"

#include <array>
#include <cstdint>

class NtpStamp {
public:
    constexpr NtpStamp() = default;
    constexpr NtpStamp(std::uint32_t seconds, std::uint32_t fraction)
        : seconds_(seconds), fraction_(fraction) {}

    constexpr std::uint32_t seconds() const { return seconds_; }
    constexpr std::uint32_t fraction() const { return fraction_; }
    // True when the value, taken as a signed difference, is below zero.
    constexpr bool isNegative() const { return (seconds_ & 0x80000000u) != 0; }
    // The value as a signed difference, in 2^-32 s and in seconds.
    constexpr std::int64_t signedUnits() const {
        return static_cast<std::int64_t>(std::uint64_t{seconds_} << 32 | fraction_);
    }
    constexpr double signedSeconds() const {
        return static_cast<double>(signedUnits()) / 4294967296.0;
    }

    // Calendar conversion within NTP era 0 (1900-01-01 to 2036-02-07); seconds wrap modulo 2^32.
    static NtpStamp fromSystemTime(const SYSTEMTIME& utc);
    static SYSTEMTIME toSystemTime(NtpStamp stamp);
    // A FILETIME reading (100-ns units since 1601-01-01 UTC), exactly: the fraction is rounded
    // to the nearest 2^-32 s; seconds wrap modulo 2^32 like fromSystemTime's.
    static NtpStamp fromFileTime(std::uint64_t ticks);

    static NtpStamp add(NtpStamp a, NtpStamp b);
    static NtpStamp subtract(NtpStamp a, NtpStamp b);
    static NtpStamp negate(NtpStamp a);
    // Half of a signed value, rounded toward zero.
    static NtpStamp halve(NtpStamp a);

    static NtpStamp fromNetwork(const std::uint8_t* bytes);
    static void toNetwork(NtpStamp stamp, std::uint8_t* bytes);

    friend constexpr bool operator==(NtpStamp, NtpStamp) = default;

private:
    std::uint32_t seconds_ = 0;
    std::uint32_t fraction_ = 0;
};

// Entry i is i * 2^32 / 1000 rounded to the nearest integer.
extern const std::array<std::uint32_t, 1000> millisecondFractions;

struct CalendarDate {
    std::uint32_t year;
    std::uint32_t month;
    std::uint32_t day;
    friend constexpr bool operator==(const CalendarDate&, const CalendarDate&) = default;
};

// Julian day number of a Gregorian date, and back (ACM Algorithm 199).
std::uint32_t julianDay(std::uint32_t year, std::uint32_t month, std::uint32_t day);
CalendarDate dateFromJulianDay(std::uint32_t julianDayNumber);

// Adds a signed offset to a UTC calendar time without passing through the 32-bit NTP seconds,
// so the result is right in 2036 and later; rounded to the nearest millisecond like
// toSystemTime. This is what sets the clock.
SYSTEMTIME addOffset(const SYSTEMTIME& utc, NtpStamp offset);
// The same for a FILETIME reading, so the new time keeps the reading's 100-ns precision until
// the one rounding to the millisecond that the clock-setting call takes.
SYSTEMTIME addOffset(std::uint64_t fileTimeTicks, NtpStamp offset);
