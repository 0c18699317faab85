// The world clock's arithmetic and texts: change dates, a zone's wall-clock time on both sides
// of its changes in both hemispheres, the record it comes from, and what is shown.
#include "desktop/worldtime/NewsDownload.h"
#include "desktop/worldtime/NewsText.h"
#include "desktop/worldtime/ZoneTime.h"
#include "tests/support/SystemTimeAt.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace {

std::string clock(const SYSTEMTIME& t) {
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.wYear, t.wMonth, t.wDay,
                  t.wHour, t.wMinute, t.wSecond);
    return text;
}

// Central Europe: last Sunday of March 02:00 to last Sunday of October 03:00.
const ZoneRecord berlin{-60, -60, {3, 5, 0, 2, 0, 0}, {10, 5, 0, 3, 0, 0}};
// Eastern Australia: first Sunday of October 02:00 to first Sunday of April 03:00.
const ZoneRecord sydney{-600, -60, {10, 1, 0, 2, 0, 0}, {4, 1, 0, 3, 0, 0}};
// A year's rule whose changes fall in one month; and the reverse, a suspension within it.
const ZoneRecord sameMonth{-60, -60, {5, 1, 0, 2, 0, 0}, {5, 4, 0, 3, 0, 0}};
const ZoneRecord sameMonthSouth{-60, -60, {5, 4, 0, 2, 0, 0}, {5, 1, 0, 3, 0, 0}};

std::string englishText(unsigned entry) {
    static const std::array<const char*, 25> names{
        "first",   "second",    "third",    "forth",  "last",     "sunday",  "monday",
        "tuesday", "wednesday", "thursday", "friday", "saturday", "january", "february",
        "march",   "april",     "may",      "june",   "july",     "august",  "september",
        "october", "november",  "december", ""};
    if (entry >= 123 && entry <= 127)
        return names[entry - 123];
    if (entry >= 128 && entry <= 134)
        return names[entry - 128 + 5];
    if (entry >= 135 && entry <= 146)
        return names[entry - 135 + 12];
    return "?";
}

} // namespace

TEST(Transitions, TheNthWeekdayOfTheMonthWithRealMonthLengths) {
    EXPECT_EQ(findTransition(2007, {3, 5, 0, 2, 0, 0}).wDay, 25);  // last Sunday of March
    EXPECT_EQ(findTransition(2007, {10, 5, 0, 3, 0, 0}).wDay, 28); // last Sunday of October
    EXPECT_EQ(findTransition(2007, {4, 1, 0, 2, 0, 0}).wDay, 1);   // the 1st is a Sunday
    EXPECT_EQ(findTransition(2007, {9, 5, 0, 2, 0, 0}).wDay, 30);  // September has five
    EXPECT_EQ(findTransition(2007, {2, 5, 0, 2, 0, 0}).wDay, 25);  // February has four
    // 29 February 2004 was a Sunday: it is the last one.
    EXPECT_EQ(findTransition(2004, {2, 5, 0, 2, 0, 0}).wDay, 29);
    EXPECT_EQ(findTransition(2007, {11, 1, 0, 2, 0, 0}).wDay, 4); // US end, first Sunday
    const SYSTEMTIME change = findTransition(2007, {3, 2, 0, 2, 30, 15});
    EXPECT_EQ(clock(change), "2007-03-11 02:30:15");
    EXPECT_EQ(change.wDayOfWeek, 0);
}

TEST(ZoneTimes, DaylightSavingOnBothSidesOfEachChange) {
    struct Case {
        const ZoneRecord& zone;
        SYSTEMTIME utc;
        const char* wall;
        bool daylight;
    };
    const std::vector<Case> cases{
        {berlin, systemTimeAt(2007, 3, 25, 0, 59, 59), "2007-03-25 01:59:59", false},
        {berlin, systemTimeAt(2007, 3, 25, 1, 0, 0), "2007-03-25 03:00:00", true},
        {berlin, systemTimeAt(2007, 7, 1, 12, 0, 0), "2007-07-01 14:00:00", true},
        {berlin, systemTimeAt(2007, 10, 28, 0, 59, 59), "2007-10-28 02:59:59", true},
        {berlin, systemTimeAt(2007, 10, 28, 1, 0, 0), "2007-10-28 02:00:00", false},
        {berlin, systemTimeAt(2007, 12, 31, 23, 30, 0), "2008-01-01 00:30:00", false},
        // Southern hemisphere: from October to the end of the year and again until April.
        {sydney, systemTimeAt(2007, 1, 15, 0, 0, 0), "2007-01-15 11:00:00", true},
        {sydney, systemTimeAt(2007, 7, 15, 0, 0, 0), "2007-07-15 10:00:00", false},
        {sydney, systemTimeAt(2007, 10, 6, 15, 59, 59), "2007-10-07 01:59:59", false},
        {sydney, systemTimeAt(2007, 10, 6, 16, 0, 0), "2007-10-07 03:00:00", true},
        {sydney, systemTimeAt(2007, 12, 31, 20, 0, 0), "2008-01-01 07:00:00", true},
        // Both changes in May, from the first Sunday to the fourth: daylight saving only
        // between them, in either order of the days within the month.
        {sameMonth, systemTimeAt(2007, 1, 15, 12, 0, 0), "2007-01-15 13:00:00", false},
        {sameMonth, systemTimeAt(2007, 5, 5, 12, 0, 0), "2007-05-05 13:00:00", false},
        {sameMonth, systemTimeAt(2007, 5, 10, 12, 0, 0), "2007-05-10 14:00:00", true},
        {sameMonth, systemTimeAt(2007, 5, 31, 12, 0, 0), "2007-05-31 13:00:00", false},
        {sameMonthSouth, systemTimeAt(2007, 5, 10, 12, 0, 0), "2007-05-10 13:00:00", false},
        {sameMonthSouth, systemTimeAt(2007, 5, 31, 12, 0, 0), "2007-05-31 14:00:00", true},
    };
    for (const Case& c : cases) {
        const ZoneTime shown = zoneTimeAt(c.utc, c.zone);
        EXPECT_EQ(clock(shown.wallClock), c.wall) << clock(c.utc);
        EXPECT_EQ(shown.daylight, c.daylight) << clock(c.utc);
    }
}

TEST(ZoneTimes, ZonesWithoutOrWithBrokenRulesKeepStandardTime) {
    ZoneRecord none = berlin;
    none.daylightStart.month = 0;
    ZoneRecord thirteenth = berlin;
    thirteenth.daylightStart.month = 13;
    ZoneRecord sixth = berlin;
    sixth.standardStart.occurrence = 6;
    ZoneRecord noOccurrence = berlin;
    noOccurrence.daylightStart.occurrence = 0;
    ZoneRecord weekday7 = berlin;
    weekday7.standardStart.weekday = 7;
    for (const ZoneRecord& zone : {none, thirteenth, sixth, noOccurrence, weekday7}) {
        EXPECT_FALSE(hasDaylightSaving(zone));
        const ZoneTime shown = zoneTimeAt(systemTimeAt(2007, 7, 1, 12, 0, 0), zone);
        EXPECT_FALSE(shown.daylight);
        EXPECT_EQ(clock(shown.wallClock), "2007-07-01 13:00:00");
    }
}

TEST(ZoneTimes, TheRegistryRecordIsReadLittleEndianAndAShortOneIsRefused) {
    // Bias -60, StandardBias 0, DaylightBias -60; StandardDate October, last Sunday, 03:00;
    // DaylightDate March, last Sunday, 02:00.
    std::array<std::uint8_t, 44> tzi{};
    auto put16 = [&](std::size_t at, std::uint16_t v) {
        tzi[at] = static_cast<std::uint8_t>(v);
        tzi[at + 1] = static_cast<std::uint8_t>(v >> 8);
    };
    put16(0, 0xFFC4);
    put16(2, 0xFFFF);
    put16(8, 0xFFC4);
    put16(10, 0xFFFF);
    put16(14, 10), put16(16, 0), put16(18, 5), put16(20, 3);
    put16(30, 3), put16(32, 0), put16(34, 5), put16(36, 2);
    const auto zone = parseZoneRecord(tzi.data(), tzi.size());
    ASSERT_TRUE(zone.has_value());
    EXPECT_EQ(zone->bias, -60);
    EXPECT_EQ(zone->daylightBias, -60);
    EXPECT_EQ(zone->daylightStart.month, 3);
    EXPECT_EQ(zone->daylightStart.occurrence, 5);
    EXPECT_EQ(zone->standardStart.hour, 3);
    EXPECT_FALSE(parseZoneRecord(tzi.data(), 43).has_value());
}

TEST(ZoneTexts, OffsetsRulesAndMilliseconds) {
    EXPECT_EQ(offsetText(300, "Minutes"), "- 300 Minutes");
    EXPECT_EQ(offsetText(-60, "Minutes"), "60 Minutes");
    EXPECT_EQ(offsetText(0, "Minutes"), "00 Minutes");
    EXPECT_EQ(offsetText(-5, "Minutes"), "05 Minutes");

    const ZoneTime shown = zoneTimeAt(systemTimeAt(2007, 7, 1, 0, 0, 0), berlin);
    EXPECT_EQ(ruleLine("Start: ", berlin.daylightStart, shown.daylightStart, &englishText),
              "Start: last sunday of march [25] at 02:00:00 ");
    const TransitionRule fourth{11, 4, 4, 23, 59, 59};
    EXPECT_EQ(ruleLine("End:  ", fourth, findTransition(2007, fourth), &englishText),
              "End:  forth thursday of november [22] at 23:59:59 ");

    EXPECT_EQ(millisecondsText(999), "999");
    EXPECT_EQ(millisecondsText(8), "008");
    EXPECT_EQ(millisecondsText(0), "000");
    EXPECT_EQ(millisecondsText(123), "123");
}

TEST(ZoneTexts, TheTickerRestartsOnceItsLastPixelHasPassed) {
    std::int32_t offset = 0;
    int steps = 0;
    while (!advanceTicker(offset, 100, 460) && steps < 1000) {
        ++steps;
    }
    // Moved one pixel a step until 561 pixels: the text's right end left x = 0.
    EXPECT_EQ(steps, 561);
    EXPECT_EQ(offset, 0);
}

TEST(ZoneTexts, OnlyTheVisiblePartOfATickerLineIsDrawn) {
    // Five characters of 10 pixels: they end at 10, 20, ..., 50.
    const std::vector<std::int32_t> ends{10, 20, 30, 40, 50};
    auto span = [&](std::int32_t x, std::int32_t width) {
        const TickerSpan s = visibleTickerSpan(ends, x, width);
        return std::to_string(s.first) + "+" + std::to_string(s.count) + "@" + std::to_string(s.x);
    };
    EXPECT_EQ(span(0, 100), "0+5@0");
    // Half of the first character is out on the left, and the third reaches the right edge.
    EXPECT_EQ(span(-5, 20), "0+3@-5");
    // The first character has left exactly; the next one starts at the edge.
    EXPECT_EQ(span(-10, 100), "1+4@0");
    EXPECT_EQ(span(-45, 100), "4+1@-5");
    // Gone to the left, not yet in on the right, and an empty line.
    EXPECT_EQ(span(-50, 100), "5+0@0");
    EXPECT_EQ(span(100, 100), "0+0@100");
    EXPECT_EQ(visibleTickerSpan({}, 3, 100).count, 0u);
}

TEST(NewsDownload, TheTickerShowsTheFirstLineWithControlCharactersAsBlanks) {
    EXPECT_EQ(tickerLine("+++ news +++\r\nsecond line"), "+++ news +++");
    EXPECT_EQ(tickerLine("\nonly the second"), "");
    EXPECT_EQ(tickerLine(std::string("a\0b\tc\x7f\x1b\xe4", 8)), "a b c  \xe4");
    EXPECT_EQ(tickerLine(""), "");
}

TEST(ZoneTexts, ANewsTextIsTakenOnceAndWhole) {
    std::string ticker = "banner";
    EXPECT_FALSE(takeNewsText(ticker));
    EXPECT_EQ(ticker, "banner");
    publishNewsText("first");
    publishNewsText("second"); // the later download replaces the earlier one
    EXPECT_TRUE(takeNewsText(ticker));
    EXPECT_EQ(ticker, "second");
    EXPECT_FALSE(takeNewsText(ticker));
}

TEST(NewsDownload, WhereFromAndTheProgressLines) {
    EXPECT_EQ(chooseNewsUrl(std::nullopt, std::nullopt), builtInNewsUrl);
    EXPECT_EQ(chooseNewsUrl(std::string(), std::string("http://b/n.txt")), "http://b/n.txt");
    EXPECT_EQ(chooseNewsUrl(std::string("http://a/n.txt"), std::string("http://b/n.txt")),
              "http://a/n.txt");

    EXPECT_EQ(statusLine(10, {"news.example", false, 0, 0}), "Resolving name for news.example");
    EXPECT_EQ(statusLine(60, {}), "");
    EXPECT_FALSE(statusLine(40, {}).has_value());
    EXPECT_FALSE(statusLine(70, {}).has_value());
    EXPECT_EQ(statusLine(100, {}), "Request complete");
    EXPECT_EQ(statusLine(100, {"", true, 0x1234, 5}),
              "Request complete, dwResult = 00001234, dwError = 00000005");
    EXPECT_EQ(statusLine(99, {}), "Unknown status: 99");

    EXPECT_EQ(readProgressLine(5000, 0), "Read 5000 bytes");
    EXPECT_EQ(readProgressLine(5120, 2), "Read 5120 bytes (2.5 Kb/s)");
}

TEST(ZoneTexts, TheSetTimeDialogSetsTheCalendarsDayAtThePickersTime) {
    // 23:59:58 picked on another day, the 31st chosen in the calendar.
    const SYSTEMTIME picker = systemTimeAt(2026, 12, 7, 23, 59, 58, 734);
    SYSTEMTIME calendar = systemTimeAt(2026, 12, 31, 0, 0, 0, 0);
    calendar.wDayOfWeek = 4;
    const SYSTEMTIME set = composeNewTime(picker, calendar);
    EXPECT_EQ(clock(set), "2026-12-31 23:59:58");
    EXPECT_EQ(set.wDayOfWeek, 4);
    EXPECT_EQ(set.wMilliseconds, 0);
}
