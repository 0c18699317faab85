#include "service/engine/NtpStamp.h"
#include "tests/support/SystemTimeAt.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <tuple>

namespace {

auto fields(const SYSTEMTIME& t) {
    return std::make_tuple(t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond,
                           t.wMilliseconds);
}

std::uint64_t bits(NtpStamp x) {
    return std::uint64_t{x.seconds()} << 32 | x.fraction();
}

NtpStamp fromBits(std::uint64_t units) {
    return {static_cast<std::uint32_t>(units >> 32), static_cast<std::uint32_t>(units)};
}

double toSeconds(NtpStamp x) {
    return static_cast<double>(static_cast<std::int64_t>(bits(x))) / 4294967296.0;
}

NtpStamp fromSeconds(double seconds) {
    return fromBits(static_cast<std::uint64_t>(static_cast<std::int64_t>(seconds * 4294967296.0)));
}

// Deterministic generator so that failures reproduce.
struct Lcg {
    std::uint64_t state;
    std::uint32_t next() {
        state = state * 6364136223846793005u + 1442695040888963407u;
        return static_cast<std::uint32_t>(state >> 32);
    }
};

bool isLeap(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(int year, int month) {
    constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeap(year) ? 29 : days[month - 1];
}

} // namespace

TEST(MillisecondFractions, EntriesAreTheNearestUnitsOfEachMillisecond) {
    EXPECT_EQ(millisecondFractions[0], 0u);
    EXPECT_EQ(millisecondFractions[1], 4294967u);
    EXPECT_EQ(millisecondFractions[500], 0x80000000u);
    EXPECT_EQ(millisecondFractions[999], 4290672329u);
    for (std::int64_t i = 0; i < 1000; ++i) {
        // Nearest means within half a unit: |entry * 1000 - i * 2^32| < 500.
        const std::int64_t error = std::int64_t{millisecondFractions[i]} * 1000 - (i << 32);
        EXPECT_LT(error < 0 ? -error : error, 500) << "entry " << i;
    }
}

TEST(NtpStampCalendar, KnownDatesConvertBothWays) {
    struct Case {
        SYSTEMTIME time;
        NtpStamp stamp;
        int dayOfWeek;
    };
    const Case cases[] = {
        {systemTimeAt(1900, 1, 1), {0, 0}, 1},
        {systemTimeAt(2000, 1, 1), {3155673600u, 0}, 6},
        {systemTimeAt(2010, 7, 15, 8, 30, 45, 500), {3488171445u, 0x80000000u}, 4},
        {systemTimeAt(2036, 2, 7, 6, 28, 15), {0xFFFFFFFFu, 0}, 4},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(NtpStamp::fromSystemTime(c.time), c.stamp) << c.time.wYear;
        const SYSTEMTIME back = NtpStamp::toSystemTime(c.stamp);
        EXPECT_EQ(fields(back), fields(c.time));
        EXPECT_EQ(back.wDayOfWeek, c.dayOfWeek) << c.time.wYear;
    }
}

TEST(NtpStampCalendar, MillisecondsRoundTripAndRoundToNearest) {
    for (int ms = 0; ms < 1000; ++ms) {
        const SYSTEMTIME t = systemTimeAt(2010, 7, 15, 8, 30, 45, ms);
        EXPECT_EQ(fields(NtpStamp::toSystemTime(NtpStamp::fromSystemTime(t))), fields(t));
    }
    EXPECT_EQ(fields(NtpStamp::toSystemTime({0, 0xFFFFFFFFu})),
              fields(systemTimeAt(1900, 1, 1, 0, 0, 1, 0)));
    // The rounding constant 2147483 is a hair under 0.0005 s (2147483.648 units), so the
    // step to the next millisecond comes one unit after the true half.
    EXPECT_EQ(NtpStamp::toSystemTime({0, 2147484}).wMilliseconds, 0);
    EXPECT_EQ(NtpStamp::toSystemTime({0, 2147485}).wMilliseconds, 1);
}

TEST(NtpStampCalendar, OutOfRangeMillisecondsClampToTheLastOfTheSecond) {
    const NtpStamp last = NtpStamp::fromSystemTime(systemTimeAt(2010, 7, 15, 8, 30, 45, 999));
    EXPECT_EQ(NtpStamp::fromSystemTime(systemTimeAt(2010, 7, 15, 8, 30, 45, 1000)), last);
    EXPECT_EQ(NtpStamp::fromSystemTime(systemTimeAt(2010, 7, 15, 8, 30, 45, 65535)), last);
}

TEST(NtpStampCalendar, SecondsWrapAfterEraZeroAndResultsStayInIt) {
    EXPECT_EQ(NtpStamp::fromSystemTime(systemTimeAt(2036, 2, 7, 6, 28, 16)), NtpStamp(0, 0));
    EXPECT_EQ(fields(NtpStamp::toSystemTime({0xFFFFFFFFu, 0xFFFFFFFFu})),
              fields(systemTimeAt(1900, 1, 1)));

    const auto inEraZero = [](const SYSTEMTIME& t) {
        const auto date = std::make_tuple(t.wYear, t.wMonth, t.wDay);
        return date >= std::make_tuple(1900, 1, 1) && date <= std::make_tuple(2036, 2, 7) &&
               t.wMonth >= 1 && t.wDay >= 1 && t.wDay <= daysInMonth(t.wYear, t.wMonth) &&
               t.wHour < 24 && t.wMinute < 60 && t.wSecond < 60 && t.wMilliseconds < 1000 &&
               t.wDayOfWeek < 7;
    };
    const std::uint32_t edges[] = {0, 1, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu, 0xFFFFFFFFu};
    for (std::uint32_t s : edges) {
        for (std::uint32_t f : edges) {
            EXPECT_TRUE(inEraZero(NtpStamp::toSystemTime({s, f}))) << s << " " << f;
        }
    }
    Lcg random{1};
    for (int i = 0; i < 20000; ++i) {
        const NtpStamp x(random.next(), random.next());
        ASSERT_TRUE(inEraZero(NtpStamp::toSystemTime(x))) << x.seconds() << " " << x.fraction();
    }
}

TEST(NtpStampCalendar, JulianDaysMatchEveryDateOfEraZero) {
    EXPECT_EQ(julianDay(1900, 1, 1), 2415021u);
    EXPECT_EQ(julianDay(2000, 1, 1), 2451545u);
    EXPECT_EQ(dateFromJulianDay(julianDay(2000, 2, 28) + 1), (CalendarDate{2000, 2, 29}));
    EXPECT_EQ(dateFromJulianDay(julianDay(1900, 2, 28) + 1), (CalendarDate{1900, 3, 1}));

    std::uint32_t expected = 2415021;
    int checked = 0;
    for (int year = 1900; year <= 2036; ++year) {
        for (int month = 1; month <= (year == 2036 ? 2 : 12); ++month) {
            const int lastDay = year == 2036 && month == 2 ? 7 : daysInMonth(year, month);
            for (int day = 1; day <= lastDay; ++day, ++expected, ++checked) {
                const CalendarDate date{std::uint32_t(year), std::uint32_t(month),
                                        std::uint32_t(day)};
                ASSERT_EQ(julianDay(date.year, date.month, date.day), expected);
                ASSERT_EQ(dateFromJulianDay(expected), date);
            }
        }
    }
    EXPECT_EQ(checked, 49711); // 2^32 s is 49710.27 days
}

TEST(NtpStampArithmetic, HalvingRoundsTowardZero) {
    EXPECT_EQ(NtpStamp::halve({0xFFFFFFFFu, 0}), NtpStamp(0xFFFFFFFFu, 0x80000000u));
    EXPECT_EQ(NtpStamp::halve({0xFFFFFFFFu, 0xFFFFFFFFu}), NtpStamp(0, 0));
    EXPECT_EQ(NtpStamp::halve({0, 3}), NtpStamp(0, 1));
    EXPECT_EQ(NtpStamp::halve({0xFFFFFFFFu, 0xFFFFFFFDu}), NtpStamp(0xFFFFFFFFu, 0xFFFFFFFFu));
    EXPECT_EQ(NtpStamp::halve({1, 0}), NtpStamp(0, 0x80000000u));
    EXPECT_EQ(NtpStamp::halve({0x80000000u, 0}), NtpStamp(0xC0000000u, 0));
}

TEST(NtpStampArithmetic, SumsAndDifferencesAreSixtyFourBitTwosComplement) {
    EXPECT_EQ(NtpStamp::negate({0, 0}), NtpStamp(0, 0));
    EXPECT_EQ(NtpStamp::negate({0, 0x80000000u}), NtpStamp(0xFFFFFFFFu, 0x80000000u));
    EXPECT_EQ(NtpStamp::add({1, 0xFFFFFFFFu}, {0, 1}), NtpStamp(2, 0));
    EXPECT_EQ(NtpStamp::add({0xFFFFFFFFu, 0xFFFFFFFFu}, {0, 1}), NtpStamp(0, 0));

    Lcg random{7};
    for (int i = 0; i < 10000; ++i) {
        const NtpStamp a(random.next(), random.next());
        const NtpStamp b(random.next(), random.next());
        ASSERT_EQ(NtpStamp::subtract(a, a), NtpStamp(0, 0));
        ASSERT_EQ(NtpStamp::add(a, NtpStamp::negate(a)), NtpStamp(0, 0));
        ASSERT_EQ(NtpStamp::add(a, b), fromBits(bits(a) + bits(b)));
        ASSERT_EQ(NtpStamp::add(NtpStamp::subtract(a, b), b), a);
    }
}

TEST(NtpStampNetwork, BigEndianSecondsFirst) {
    std::uint8_t bytes[8] = {};
    NtpStamp::toNetwork({0x01020304u, 0xA0B0C0D0u}, bytes);
    const std::uint8_t expected[8] = {0x01, 0x02, 0x03, 0x04, 0xA0, 0xB0, 0xC0, 0xD0};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(bytes[i], expected[i]) << "byte " << i;
    }
    EXPECT_EQ(NtpStamp::fromNetwork(expected), NtpStamp(0x01020304u, 0xA0B0C0D0u));
}

TEST(NtpStampArithmetic, OffsetAndDelayOfAnExchange) {
    struct Exchange {
        NtpStamp t1, t2, t3, t4;
        double offset, delay;
    };
    const NtpStamp base = NtpStamp::fromSystemTime(systemTimeAt(2010, 7, 15, 8, 30, 45, 120));
    const auto at = [](NtpStamp from, double seconds) {
        return NtpStamp::add(from, fromSeconds(seconds));
    };
    // Server 1.25 s ahead, then 1.25 s behind, 30 ms each way and 2 ms in the server; then
    // an exchange that straddles the 2036 wrap of the seconds.
    const NtpStamp wrap(0xFFFFFFFFu, 0xF0000000u);
    const Exchange exchanges[] = {
        {base, at(base, 1.28), at(base, 1.282), at(base, 0.062), 1.25, 0.060},
        {base, at(base, -1.22), at(base, -1.218), at(base, 0.062), -1.25, 0.060},
        {wrap, at(wrap, 0.3), at(wrap, 0.301), at(wrap, 0.101), 0.25, 0.100},
    };
    for (const Exchange& e : exchanges) {
        const NtpStamp delay =
            NtpStamp::subtract(NtpStamp::subtract(e.t4, e.t1), NtpStamp::subtract(e.t3, e.t2));
        const NtpStamp offset = NtpStamp::halve(
            NtpStamp::add(NtpStamp::subtract(e.t2, e.t1), NtpStamp::subtract(e.t3, e.t4)));
        EXPECT_NEAR(toSeconds(delay), e.delay, 1e-8);
        EXPECT_NEAR(toSeconds(offset), e.offset, 1e-8);
        EXPECT_EQ(offset.isNegative(), e.offset < 0);
    }
}

TEST(AddOffset, AgreesWithStampArithmeticInsideEraZero) {
    Lcg random{42};
    int compared = 0;
    for (int i = 0; i < 20000; ++i) {
        const NtpStamp start(random.next(), millisecondFractions[random.next() % 1000]);
        // Alternate offsets of a few seconds with offsets of up to 68 years either way.
        const NtpStamp offset = i % 2 == 0
                                    ? fromSeconds(static_cast<std::int32_t>(random.next()) / 1e9)
                                    : NtpStamp(random.next(), random.next());
        const std::uint64_t fraction = std::uint64_t{start.fraction()} + offset.fraction();
        const std::int64_t endSeconds = std::int64_t{start.seconds()} +
                                        static_cast<std::int32_t>(offset.seconds()) +
                                        static_cast<std::int64_t>(fraction >> 32);
        const bool roundsPastEra =
            endSeconds == 0xFFFFFFFF && (fraction & 0xFFFFFFFFu) >= 0x100000000u - 2147483;
        if (endSeconds < 0 || endSeconds > 0xFFFFFFFF || roundsPastEra) {
            continue;
        }
        const SYSTEMTIME t = NtpStamp::toSystemTime(start);
        const SYSTEMTIME viaStamps =
            NtpStamp::toSystemTime(NtpStamp::add(NtpStamp::fromSystemTime(t), offset));
        const SYSTEMTIME direct = addOffset(t, offset);
        ASSERT_EQ(fields(direct), fields(viaStamps)) << i;
        ASSERT_EQ(direct.wDayOfWeek, viaStamps.wDayOfWeek) << i;
        ++compared;
    }
    EXPECT_GT(compared, 10000);
}

TEST(AddOffset, StaysCorrectBeyondTheEraBoundary) {
    struct Case {
        SYSTEMTIME from;
        NtpStamp offset;
        SYSTEMTIME expected;
        int dayOfWeek;
    };
    const NtpStamp tenYears(3652u * 86400u, 0);
    const Case cases[] = {
        {systemTimeAt(2036, 2, 7, 6, 28, 15, 900),
         {0, 858993459u},
         systemTimeAt(2036, 2, 7, 6, 28, 16, 100),
         4},
        {systemTimeAt(2036, 2, 7, 6, 28, 14), {10, 0}, systemTimeAt(2036, 2, 7, 6, 28, 24), 4},
        {systemTimeAt(2036, 2, 7, 6, 28, 16, 100), NtpStamp::negate({0, 858993459u}),
         systemTimeAt(2036, 2, 7, 6, 28, 15, 900), 4},
        {systemTimeAt(2036, 2, 7, 23, 59, 59, 999),
         {0, millisecondFractions[1]},
         systemTimeAt(2036, 2, 8),
         5},
        {systemTimeAt(2036, 2, 28, 23, 59, 59, 999),
         {0, millisecondFractions[1]},
         systemTimeAt(2036, 2, 29),
         5},
        {systemTimeAt(2030, 1, 1), tenYears, systemTimeAt(2040, 1, 1), 0},
        {systemTimeAt(2040, 1, 1), NtpStamp::negate(tenYears), systemTimeAt(2030, 1, 1), 2},
        {systemTimeAt(2040, 6, 15, 12),
         {0xFFFFFFFFu, 0x80000000u},
         systemTimeAt(2040, 6, 15, 11, 59, 59, 500),
         5},
        {systemTimeAt(2100, 2, 28, 23, 59, 59, 500), {0, 0x80000000u}, systemTimeAt(2100, 3, 1), 1},
        // 0.6 ms past 23:59:59.999 rounds into the next century.
        {systemTimeAt(2099, 12, 31, 23, 59, 59, 999), {0, 2576980u}, systemTimeAt(2100, 1, 1), 5},
    };
    for (const Case& c : cases) {
        const SYSTEMTIME result = addOffset(c.from, c.offset);
        EXPECT_EQ(fields(result), fields(c.expected)) << c.from.wYear << "-" << c.from.wMonth;
        EXPECT_EQ(result.wDayOfWeek, c.dayOfWeek) << c.expected.wYear << "-" << c.expected.wMonth;
    }
}

namespace {

// FILETIME ticks of a UTC calendar time.
std::uint64_t fileTicks(const SYSTEMTIME& t, std::uint64_t extraTicks = 0) {
    const std::uint64_t days = julianDay(t.wYear, t.wMonth, t.wDay) - julianDay(1601, 1, 1);
    const std::uint64_t seconds = ((days * 24 + t.wHour) * 60 + t.wMinute) * 60 + t.wSecond;
    return seconds * 10000000 + t.wMilliseconds * 10000u + extraTicks;
}

} // namespace

TEST(FileTimeReadings, ConvertExactlyAndAgreeWithTheMillisecondClock) {
    EXPECT_EQ(NtpStamp::fromFileTime(fileTicks(systemTimeAt(1900, 1, 1))), NtpStamp(0, 0));
    // Era 1 starts at 2036-02-07 06:28:16.
    EXPECT_EQ(NtpStamp::fromFileTime(fileTicks(systemTimeAt(2036, 2, 7, 6, 28, 16), 1)),
              NtpStamp(0, 429));
    // The last tick of a second stays in it: 2^32 - 429.497 units, rounded.
    const SYSTEMTIME noon = systemTimeAt(2026, 12, 8, 12);
    const NtpStamp last = NtpStamp::fromFileTime(fileTicks(noon, 9999999));
    EXPECT_EQ(last.seconds(), NtpStamp::fromSystemTime(noon).seconds());
    EXPECT_EQ(last.fraction(), 4294966867u);

    Lcg random{7};
    for (int i = 0; i < 5000; ++i) {
        const SYSTEMTIME t = NtpStamp::toSystemTime(
            NtpStamp(random.next() & 0x7FFFFFFFu, millisecondFractions[random.next() % 1000]));
        ASSERT_EQ(NtpStamp::fromFileTime(fileTicks(t)), NtpStamp::fromSystemTime(t)) << i;
        const NtpStamp offset = fromSeconds(static_cast<std::int32_t>(random.next()) / 1e6);
        ASSERT_EQ(fields(addOffset(fileTicks(t), offset)), fields(addOffset(t, offset))) << i;
    }
}

TEST(FileTimeReadings, TheNewTimeIsRoundedOnceToTheNearestMillisecond) {
    const SYSTEMTIME noon = systemTimeAt(2026, 12, 8, 12);
    const NtpStamp none(0, 0);
    EXPECT_EQ(fields(addOffset(fileTicks(noon, 4999), none)), fields(noon));
    EXPECT_EQ(fields(addOffset(fileTicks(noon, 5001), none)),
              fields(systemTimeAt(2026, 12, 8, 12, 0, 0, 1)));
    // 0.4 ms of reading and 0.4 ms of offset make 0.8 ms: one millisecond, where rounding each
    // on its own would give none.
    EXPECT_EQ(fields(addOffset(fileTicks(noon, 4000), fromSeconds(0.0004))),
              fields(systemTimeAt(2026, 12, 8, 12, 0, 0, 1)));
    // Across midnight and the year, both ways.
    const SYSTEMTIME nextYear =
        addOffset(fileTicks(systemTimeAt(2026, 12, 31, 23, 59, 59, 999), 6000), none);
    EXPECT_EQ(fields(nextYear), fields(systemTimeAt(2027, 1, 1)));
    EXPECT_EQ(nextYear.wDayOfWeek, 5);
    EXPECT_EQ(fields(addOffset(fileTicks(systemTimeAt(2027, 1, 1), 1000), fromSeconds(-0.0012))),
              fields(systemTimeAt(2026, 12, 31, 23, 59, 59, 999)));
}
