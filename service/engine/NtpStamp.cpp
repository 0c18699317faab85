#include "service/engine/NtpStamp.h"

#include <algorithm>

namespace {

constexpr std::uint32_t kJulianDay1900 = 2415021;   // 1900-01-01, the start of NTP era 0
constexpr std::uint32_t kHalfMillisecond = 2147483; // 0.0005 s in units of 2^-32 s
constexpr std::int64_t kSecondsPerDay = 86400;
constexpr std::uint16_t kMaxMilliseconds = 999;
// FILETIME counts from 1601-01-01, 109207 days before 1900-01-01.
constexpr std::int64_t kFileTimeSecondsBefore1900 = 109207 * kSecondsPerDay;
constexpr std::uint64_t kTicksPerSecond = 10000000;

constexpr std::array<std::uint32_t, 1000> makeMillisecondFractions() {
    std::array<std::uint32_t, 1000> table{};
    for (std::uint64_t i = 0; i < table.size(); ++i) {
        // i * 2^32 / 1000 = i * 2^29 / 125 never ends in exactly .5, so no tie needs breaking.
        table[i] = static_cast<std::uint32_t>(((i << 32) + 500) / 1000);
    }
    return table;
}

// Indexes the table safely: the clock gives 0-999, anything larger is treated as the last
// millisecond of the same second rather than spilling into the next one.
std::uint32_t fractionOfMilliseconds(std::uint16_t milliseconds) {
    return millisecondFractions[std::min(milliseconds, kMaxMilliseconds)];
}

// Seconds and fraction since 1900-01-01 00:00 UTC as a continuous signed count, not wrapped.
struct ContinuousTime {
    std::int64_t seconds;
    std::uint32_t fraction;
};

ContinuousTime continuousFromSystemTime(const SYSTEMTIME& utc) {
    const std::int64_t days =
        static_cast<std::int64_t>(julianDay(utc.wYear, utc.wMonth, utc.wDay)) - kJulianDay1900;
    const std::int64_t seconds = ((days * 24 + utc.wHour) * 60 + utc.wMinute) * 60 + utc.wSecond;
    return {seconds, fractionOfMilliseconds(utc.wMilliseconds)};
}

ContinuousTime continuousFromFileTime(std::uint64_t ticks) {
    const std::uint64_t rest = ticks % kTicksPerSecond;
    // Below 2^32 even for the last tick of a second: 9999999 ticks are 2^32 - 429.5 units.
    const auto fraction =
        static_cast<std::uint32_t>(((rest << 32) + kTicksPerSecond / 2) / kTicksPerSecond);
    return {static_cast<std::int64_t>(ticks / kTicksPerSecond) - kFileTimeSecondsBefore1900,
            fraction};
}

SYSTEMTIME addOffsetToContinuous(ContinuousTime start, NtpStamp offset);

// Calendar fields of an already rounded count; the milliseconds are truncated.
SYSTEMTIME calendarFromContinuous(ContinuousTime time) {
    std::int64_t days = time.seconds / kSecondsPerDay;
    std::int64_t secondOfDay = time.seconds % kSecondsPerDay;
    if (secondOfDay < 0) {
        secondOfDay += kSecondsPerDay;
        --days;
    }
    const std::int64_t julian = days + kJulianDay1900;
    // Only a nonsensical input date leaves the calendar's range; the unsigned conversion then
    // gives a wrong but harmless date.
    const CalendarDate date = dateFromJulianDay(static_cast<std::uint32_t>(julian));

    SYSTEMTIME result{};
    result.wYear = static_cast<std::uint16_t>(date.year);
    result.wMonth = static_cast<std::uint16_t>(date.month);
    result.wDay = static_cast<std::uint16_t>(date.day);
    result.wDayOfWeek = static_cast<std::uint16_t>(((julian + 1) % 7 + 7) % 7);
    result.wHour = static_cast<std::uint16_t>(secondOfDay / 3600);
    result.wMinute = static_cast<std::uint16_t>(secondOfDay / 60 % 60);
    result.wSecond = static_cast<std::uint16_t>(secondOfDay % 60);
    // 1000 / 2^32 is exact in a double and so is the product, so the truncation never reaches
    // 1000; the clamp only guards the field.
    const double milliseconds = static_cast<double>(time.fraction) * (1000.0 / 4294967296.0);
    result.wMilliseconds =
        std::min(static_cast<std::uint16_t>(milliseconds), static_cast<std::uint16_t>(999));
    return result;
}

} // namespace

constexpr std::array<std::uint32_t, 1000> millisecondFractions = makeMillisecondFractions();

static_assert(millisecondFractions[0] == 0);
static_assert(millisecondFractions[1] == 4294967u);
static_assert(millisecondFractions[500] == 0x80000000u);
static_assert(millisecondFractions[999] == 4290672329u);

std::uint32_t julianDay(std::uint32_t year, std::uint32_t month, std::uint32_t day) {
    // Unsigned arithmetic throughout: a nonsensical date wraps instead of overflowing.
    std::uint32_t m = 0;
    std::uint32_t y = 0;
    if (month > 2) {
        m = month - 3;
        y = year;
    } else {
        m = month + 9;
        y = year - 1;
    }
    const std::uint32_t h = y / 100;
    const std::uint32_t a = y - 100 * h;
    return (146097 * h) / 4 + (1461 * a) / 4 + (153 * m + 2) / 5 + day + 1721119;
}

CalendarDate dateFromJulianDay(std::uint32_t julianDayNumber) {
    std::uint32_t j = 4 * (julianDayNumber - 1721119) - 1;
    std::uint32_t y = j / 146097;
    j = j - 146097 * y;
    std::uint32_t d = j / 4;

    j = (4 * d + 3) / 1461;
    d = 4 * d + 3 - 1461 * j;
    d = (d + 4) / 4;

    std::uint32_t m = (5 * d - 3) / 153;
    d = 5 * d - 3 - 153 * m;
    d = (d + 5) / 5;

    y = 100 * y + j;
    std::uint32_t month = 0;
    if (m < 10) {
        month = m + 3;
    } else {
        month = m - 9;
        y = y + 1;
    }
    return {y, month, d};
}

NtpStamp NtpStamp::fromSystemTime(const SYSTEMTIME& utc) {
    const std::uint32_t days = julianDay(utc.wYear, utc.wMonth, utc.wDay) - kJulianDay1900;
    const std::uint32_t seconds = ((days * 24 + utc.wHour) * 60 + utc.wMinute) * 60 + utc.wSecond;
    return {seconds, fractionOfMilliseconds(utc.wMilliseconds)};
}

SYSTEMTIME NtpStamp::toSystemTime(NtpStamp stamp) {
    // The rounding carry wraps with the seconds, so every result lies in era 0.
    const NtpStamp rounded = add(stamp, NtpStamp(0, kHalfMillisecond));
    return calendarFromContinuous({rounded.seconds(), rounded.fraction()});
}

NtpStamp NtpStamp::add(NtpStamp a, NtpStamp b) {
    const std::uint32_t fraction = a.fraction_ + b.fraction_;
    const std::uint32_t carry = fraction < a.fraction_ ? 1 : 0;
    return {a.seconds_ + b.seconds_ + carry, fraction};
}

NtpStamp NtpStamp::subtract(NtpStamp a, NtpStamp b) {
    return add(a, negate(b));
}

NtpStamp NtpStamp::negate(NtpStamp a) {
    return add(NtpStamp(~a.seconds_, ~a.fraction_), {0, 1});
}

NtpStamp NtpStamp::halve(NtpStamp a) {
    const auto shift = [](NtpStamp x) {
        return NtpStamp(x.seconds_ >> 1, (x.fraction_ >> 1) | (x.seconds_ << 31));
    };
    if (!a.isNegative()) {
        return shift(a);
    }
    return negate(shift(negate(a)));
}

NtpStamp NtpStamp::fromNetwork(const std::uint8_t* bytes) {
    const auto readBigEndian = [](const std::uint8_t* p) {
        return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
               static_cast<std::uint32_t>(p[2]) << 8 | static_cast<std::uint32_t>(p[3]);
    };
    return {readBigEndian(bytes), readBigEndian(bytes + 4)};
}

void NtpStamp::toNetwork(NtpStamp stamp, std::uint8_t* bytes) {
    const auto writeBigEndian = [](std::uint32_t value, std::uint8_t* p) {
        p[0] = static_cast<std::uint8_t>(value >> 24);
        p[1] = static_cast<std::uint8_t>(value >> 16);
        p[2] = static_cast<std::uint8_t>(value >> 8);
        p[3] = static_cast<std::uint8_t>(value);
    };
    writeBigEndian(stamp.seconds_, bytes);
    writeBigEndian(stamp.fraction_, bytes + 4);
}

NtpStamp NtpStamp::fromFileTime(std::uint64_t ticks) {
    const ContinuousTime time = continuousFromFileTime(ticks);
    return {static_cast<std::uint32_t>(time.seconds), time.fraction};
}

SYSTEMTIME addOffset(const SYSTEMTIME& utc, NtpStamp offset) {
    return addOffsetToContinuous(continuousFromSystemTime(utc), offset);
}

SYSTEMTIME addOffset(std::uint64_t fileTimeTicks, NtpStamp offset) {
    return addOffsetToContinuous(continuousFromFileTime(fileTimeTicks), offset);
}

namespace {

SYSTEMTIME addOffsetToContinuous(ContinuousTime start, NtpStamp offset) {
    // The offset's value is signed seconds times 2^32 plus an unsigned fraction; the sum and
    // the half-millisecond rounding each carry at most one second.
    const std::uint64_t fraction = std::uint64_t{start.fraction} + offset.fraction();
    const std::uint64_t rounded = (fraction & 0xFFFFFFFFu) + kHalfMillisecond;
    const std::int64_t seconds = start.seconds + static_cast<std::int32_t>(offset.seconds()) +
                                 static_cast<std::int64_t>(fraction >> 32) +
                                 static_cast<std::int64_t>(rounded >> 32);
    return calendarFromContinuous({seconds, static_cast<std::uint32_t>(rounded)});
}

} // namespace
