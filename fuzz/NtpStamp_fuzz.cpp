// NtpStamp: the 64-bit two's-complement arithmetic, the network byte order, the calendar of
// era 0 and addOffset, checked against plain 64- and 128-bit integers and an independent
// Gregorian calendar (days since 1970, Howard Hinnant's days_from_civil).
#include "fuzz/FuzzInput.h"
#include "service/engine/NtpStamp.h"

#include <cstddef>
#include <cstdint>

namespace {

using Int128 = __int128;

constexpr std::int64_t kSecondsPerDay = 86400;
constexpr std::int64_t kDays1900 = -25567; // 1900-01-01, days since 1970-01-01
constexpr Int128 kUnitsPerSecond = Int128{1} << 32;
// Half a millisecond in units of 2^-32 s times 1000 (2^31), and one unit of slack for the
// nearest-unit millisecond table.
constexpr Int128 kHalfMillisecondScaled = (Int128{1} << 31) + 2000;

std::uint64_t bitsOf(NtpStamp x) {
    return std::uint64_t{x.seconds()} << 32 | x.fraction();
}

std::int64_t signedOf(NtpStamp x) {
    return static_cast<std::int64_t>(bitsOf(x));
}

bool isLeap(std::int64_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

unsigned daysInMonth(std::int64_t year, unsigned month) {
    constexpr unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeap(year) ? 29 : days[month - 1];
}

std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

bool isValidDate(std::int64_t year, unsigned month, unsigned day) {
    return year >= 1 && month >= 1 && month <= 12 && day >= 1 && day <= daysInMonth(year, month);
}

bool isValidTime(const SYSTEMTIME& t) {
    return isValidDate(t.wYear, t.wMonth, t.wDay) && t.wHour < 24 && t.wMinute < 60 &&
           t.wSecond < 60 && t.wMilliseconds < 1000;
}

// Sunday is 0; 1970-01-01 was a Thursday.
unsigned weekdayOf(std::int64_t daysSince1970) {
    return static_cast<unsigned>(((daysSince1970 + 4) % 7 + 7) % 7);
}

std::int64_t secondsSince1900(const SYSTEMTIME& t) {
    const std::int64_t days = daysFromCivil(t.wYear, t.wMonth, t.wDay) - kDays1900;
    return days * kSecondsPerDay + t.wHour * 3600 + t.wMinute * 60 + t.wSecond;
}

// The nearest unit of a whole millisecond: ms * 2^32 / 1000, rounded.
std::uint32_t nearestFraction(std::uint32_t milliseconds) {
    return static_cast<std::uint32_t>(((std::uint64_t{milliseconds} << 32) + 500) / 1000);
}

// A valid calendar time (any day of week) whose weekday field is right too.
void checkCalendarResult(const SYSTEMTIME& t) {
    FUZZ_CHECK(isValidTime(t));
    FUZZ_CHECK(t.wDayOfWeek == weekdayOf(daysFromCivil(t.wYear, t.wMonth, t.wDay)));
}

// |t - exact| is at most half a millisecond (and a unit of slack), with exact in units of
// 2^-32 s since 1900 and differences taken modulo `modulus` units when it is not 0.
void checkNearestMillisecond(const SYSTEMTIME& t, Int128 exact, Int128 modulus) {
    const Int128 shownMilliseconds = Int128{secondsSince1900(t)} * 1000 + t.wMilliseconds;
    Int128 difference = shownMilliseconds * kUnitsPerSecond - exact * 1000;
    if (modulus != 0) {
        const Int128 scaled = modulus * 1000;
        difference %= scaled;
        if (difference >= scaled / 2)
            difference -= scaled;
        if (difference < -scaled / 2)
            difference += scaled;
    }
    FUZZ_CHECK(difference <= kHalfMillisecondScaled && difference >= -kHalfMillisecondScaled);
}

void checkArithmetic(NtpStamp a, NtpStamp b) {
    const std::uint64_t x = bitsOf(a);
    const std::uint64_t y = bitsOf(b);
    FUZZ_CHECK(bitsOf(NtpStamp::add(a, b)) == x + y);
    FUZZ_CHECK(bitsOf(NtpStamp::subtract(a, b)) == x - y);
    FUZZ_CHECK(bitsOf(NtpStamp::negate(a)) == 0 - x);
    FUZZ_CHECK(a.isNegative() == (signedOf(a) < 0));
    // Integer division rounds toward zero, as halve promises.
    FUZZ_CHECK(signedOf(NtpStamp::halve(a)) == signedOf(a) / 2);
    FUZZ_CHECK(NtpStamp::add(NtpStamp::subtract(a, b), b) == a);

    std::uint8_t bytes[8] = {};
    NtpStamp::toNetwork(a, bytes);
    for (int i = 0; i < 8; ++i) {
        FUZZ_CHECK(bytes[i] == static_cast<std::uint8_t>(x >> (56 - 8 * i)));
    }
    FUZZ_CHECK(NtpStamp::fromNetwork(bytes) == a);
}

// Every stamp is a time of era 0, the nearest millisecond to it modulo the 2^32 s of the era.
void checkToSystemTime(NtpStamp a) {
    const SYSTEMTIME t = NtpStamp::toSystemTime(a);
    checkCalendarResult(t);
    const std::int64_t seconds = secondsSince1900(t);
    FUZZ_CHECK(seconds >= 0 && seconds <= 0xFFFFFFFFll);
    checkNearestMillisecond(t, Int128{bitsOf(a)}, Int128{1} << 64);
    // Such a time converts back to the stamp of its own millisecond.
    FUZZ_CHECK(NtpStamp::fromSystemTime(t) ==
               NtpStamp(static_cast<std::uint32_t>(seconds), nearestFraction(t.wMilliseconds)));
}

// A valid calendar time: seconds since 1900 modulo 2^32, the nearest fraction, and inside
// era 0 the way back to the same fields.
void checkFromSystemTime(const SYSTEMTIME& t) {
    const NtpStamp stamp = NtpStamp::fromSystemTime(t);
    const std::int64_t seconds = secondsSince1900(t);
    if (seconds >= 0) {
        FUZZ_CHECK(stamp.seconds() == static_cast<std::uint32_t>(seconds));
    }
    FUZZ_CHECK(stamp.fraction() == nearestFraction(t.wMilliseconds));
    if (seconds >= 0 && seconds <= 0xFFFFFFFFll) {
        const SYSTEMTIME back = NtpStamp::toSystemTime(stamp);
        FUZZ_CHECK(back.wYear == t.wYear && back.wMonth == t.wMonth && back.wDay == t.wDay &&
                   back.wHour == t.wHour && back.wMinute == t.wMinute &&
                   back.wSecond == t.wSecond && back.wMilliseconds == t.wMilliseconds);
    }
}

void checkJulianDay(std::uint32_t year, std::uint32_t month, std::uint32_t day) {
    // The Julian day number of 1970-01-01 is 2440588.
    const std::int64_t expected = daysFromCivil(year, month, day) + 2440588;
    const std::uint32_t julian = julianDay(year, month, day);
    FUZZ_CHECK(julian == static_cast<std::uint32_t>(expected));
    FUZZ_CHECK(dateFromJulianDay(julian) == (CalendarDate{year, month, day}));
}

// addOffset moves a real clock reading by any signed offset: a valid time, the nearest
// millisecond to the exact sum, without the 2^32 s wrap.
void checkAddOffset(const SYSTEMTIME& t, NtpStamp offset) {
    const SYSTEMTIME moved = addOffset(t, offset);
    checkCalendarResult(moved);
    const Int128 start =
        Int128{secondsSince1900(t)} * kUnitsPerSecond + NtpStamp::fromSystemTime(t).fraction();
    checkNearestMillisecond(moved, start + signedOf(offset), 0);
}

// A FILETIME reading (100-ns ticks since 1601): its stamp is the exact value rounded to the
// nearest unit (seconds wrapping at 2^32), and the clock it sets is the exact sum rounded to
// the millisecond.
void checkFileTime(std::uint64_t ticks, NtpStamp offset) {
    constexpr Int128 kTicksBefore1900 = Int128{109207} * kSecondsPerDay * 10000000;
    // Units of 2^-32 s since 1900, times 10^7.
    const Int128 exactScaled = (Int128{ticks} - kTicksBefore1900) * kUnitsPerSecond;
    const Int128 exact = exactScaled / 10000000;
    const Int128 wrapped = exact % (Int128{1} << 64);
    const Int128 difference = Int128{bitsOf(NtpStamp::fromFileTime(ticks))} - wrapped;
    FUZZ_CHECK(difference == 0 || difference == 1);
    const SYSTEMTIME moved = addOffset(ticks, offset);
    checkCalendarResult(moved);
    checkNearestMillisecond(moved, exact + signedOf(offset), 0);
}

// Keeps a field in [first, first + count), else spreads it over that range.
std::uint16_t fieldIn(std::uint16_t raw, unsigned first, unsigned count) {
    return static_cast<std::uint16_t>(raw >= first && raw - first < count ? raw
                                                                          : first + raw % count);
}

// A valid time with its year in [firstYear, lastYear]: fields already valid stay as they are.
SYSTEMTIME validTime(const SYSTEMTIME& raw, unsigned firstYear, unsigned lastYear) {
    SYSTEMTIME t{};
    t.wYear = fieldIn(raw.wYear, firstYear, lastYear - firstYear + 1);
    t.wMonth = fieldIn(raw.wMonth, 1, 12);
    t.wDay = fieldIn(raw.wDay, 1, daysInMonth(t.wYear, t.wMonth));
    t.wHour = fieldIn(raw.wHour, 0, 24);
    t.wMinute = fieldIn(raw.wMinute, 0, 60);
    t.wSecond = fieldIn(raw.wSecond, 0, 60);
    t.wMilliseconds = fieldIn(raw.wMilliseconds, 0, 1000);
    t.wDayOfWeek = raw.wDayOfWeek;
    return t;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    const SYSTEMTIME raw = input.systemTime();
    // One field per statement: the order of a call's arguments is unspecified.
    const std::uint32_t aSeconds = input.dword();
    const NtpStamp a(aSeconds, input.dword());
    const std::uint32_t bSeconds = input.dword();
    const NtpStamp b(bSeconds, input.dword());

    checkArithmetic(a, b);
    checkArithmetic(b, a);
    checkToSystemTime(a);

    // Fields as they come: whatever they mean, the conversions must not fail.
    static_cast<void>(NtpStamp::fromSystemTime(raw));
    static_cast<void>(addOffset(raw, b));
    static_cast<void>(dateFromJulianDay(a.seconds()));
    if (isValidTime(raw)) {
        checkFromSystemTime(raw);
        checkJulianDay(raw.wYear, raw.wMonth, raw.wDay);
    }

    // The same fields spread over era 0 and over the years a SYSTEMTIME can hold.
    const SYSTEMTIME inEra = validTime(raw, 1900, 2036);
    const SYSTEMTIME anyYear = validTime(raw, 1601, 30827);
    checkFromSystemTime(inEra);
    checkFromSystemTime(anyYear);
    checkJulianDay(anyYear.wYear, anyYear.wMonth, anyYear.wDay);
    checkAddOffset(inEra, b);
    checkAddOffset(anyYear, b);
    // Readings from 1970 to 2470, which the offsets of up to 68 years keep inside the
    // calendar.
    constexpr std::uint64_t kTicks1970 = 116444736000000000ull;
    constexpr std::uint64_t kTicksOf500Years = 5000000000ull * 31556952;
    checkFileTime(kTicks1970 + input.qword() % kTicksOf500Years, b);
    return 0;
}
