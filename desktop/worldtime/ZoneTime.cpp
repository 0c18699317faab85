#include "desktop/worldtime/ZoneTime.h"

#include "common/CivilDate.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace {

std::uint16_t word(const std::uint8_t* data, std::size_t offset) {
    return static_cast<std::uint16_t>(data[offset] | data[offset + 1] << 8);
}

std::int32_t signedLong(const std::uint8_t* data, std::size_t offset) {
    const std::uint32_t value = static_cast<std::uint32_t>(word(data, offset)) |
                                static_cast<std::uint32_t>(word(data, offset + 2)) << 16;
    return static_cast<std::int32_t>(value);
}

// A SYSTEMTIME in the record: year, month, day of week, day, hour, minute, second, ms.
TransitionRule ruleAt(const std::uint8_t* data, std::size_t offset) {
    return {word(data, offset + 2), word(data, offset + 6),  word(data, offset + 4),
            word(data, offset + 8), word(data, offset + 10), word(data, offset + 12)};
}

bool validRule(const TransitionRule& rule) {
    return rule.month >= 1 && rule.month <= 12 && rule.occurrence >= 1 && rule.occurrence <= 5 &&
           rule.weekday <= 6;
}

bool leapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int monthLength(int year, int month) {
    static constexpr std::array<int, 12> lengths{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && leapYear(year) ? 29 : lengths[static_cast<std::size_t>(month - 1)];
}

SYSTEMTIME civilFromMilliseconds(std::int64_t milliseconds) {
    std::int64_t days = milliseconds / 86400000;
    std::int64_t rest = milliseconds % 86400000;
    if (rest < 0) {
        rest += 86400000;
        --days;
    }
    const CivilDate date = civilFromDays(days);
    SYSTEMTIME t{};
    t.wYear = static_cast<std::uint16_t>(date.year);
    t.wMonth = static_cast<std::uint16_t>(date.month);
    t.wDay = static_cast<std::uint16_t>(date.day);
    // 1970-01-01 was a Thursday.
    t.wDayOfWeek = static_cast<std::uint16_t>(((days % 7) + 11) % 7);
    t.wHour = static_cast<std::uint16_t>(rest / 3600000);
    t.wMinute = static_cast<std::uint16_t>(rest / 60000 % 60);
    t.wSecond = static_cast<std::uint16_t>(rest / 1000 % 60);
    t.wMilliseconds = static_cast<std::uint16_t>(rest % 1000);
    return t;
}

std::int64_t toMilliseconds(const SYSTEMTIME& t) {
    return daysFromCivil(t.wYear, t.wMonth, t.wDay) * 86400000 +
           ((static_cast<std::int64_t>(t.wHour) * 60 + t.wMinute) * 60 + t.wSecond) * 1000 +
           t.wMilliseconds;
}

} // namespace

std::optional<ZoneRecord> parseZoneRecord(const std::uint8_t* data, std::size_t size) {
    if (data == nullptr || size < 44) {
        return std::nullopt;
    }
    return ZoneRecord{signedLong(data, 0), signedLong(data, 8), ruleAt(data, 28), ruleAt(data, 12)};
}

bool hasDaylightSaving(const ZoneRecord& zone) {
    return zone.daylightStart.month != 0 && validRule(zone.daylightStart) &&
           validRule(zone.standardStart);
}

SYSTEMTIME findTransition(std::uint16_t year, const TransitionRule& rule) {
    const std::int64_t first = daysFromCivil(year, rule.month, 1);
    const int firstWeekday = static_cast<int>(((first % 7) + 11) % 7);
    int day = 1 + (rule.weekday - firstWeekday + 7) % 7 + 7 * (rule.occurrence - 1);
    if (day > monthLength(year, rule.month)) {
        day -= 7; // a fifth occurrence that the month lacks: the last one
    }
    SYSTEMTIME change{};
    change.wYear = year;
    change.wMonth = rule.month;
    change.wDay = static_cast<std::uint16_t>(day);
    change.wDayOfWeek = rule.weekday;
    change.wHour = rule.hour;
    change.wMinute = rule.minute;
    change.wSecond = rule.second;
    return change;
}

ZoneTime zoneTimeAt(const SYSTEMTIME& utc, const ZoneRecord& zone) {
    const std::int64_t standard = toMilliseconds(utc) - std::int64_t{zone.bias} * 60000;
    ZoneTime result{civilFromMilliseconds(standard), false, {}, {}};
    if (!hasDaylightSaving(zone)) {
        return result;
    }
    result.daylightStart = findTransition(utc.wYear, zone.daylightStart);
    result.standardStart = findTransition(utc.wYear, zone.standardStart);
    // The start is a standard time, the end a daylight time.
    const std::int64_t daylightTime = standard - std::int64_t{zone.daylightBias} * 60000;
    const bool afterStart = standard >= toMilliseconds(result.daylightStart);
    const bool beforeEnd = daylightTime < toMilliseconds(result.standardStart);
    // Northern rules start before they end within the year; a rule whose changes share a month
    // is told apart by the days, not the month.
    result.daylight = toMilliseconds(result.daylightStart) < toMilliseconds(result.standardStart)
                          ? afterStart && beforeEnd
                          : afterStart || beforeEnd;
    if (result.daylight) {
        result.wallClock = civilFromMilliseconds(daylightTime);
    }
    return result;
}

std::string offsetText(std::int32_t minutes, const std::string& unit) {
    char text[64];
    if (minutes > 0) {
        std::snprintf(text, sizeof text, "- %.2d %s", static_cast<int>(minutes), unit.c_str());
    } else {
        std::snprintf(text, sizeof text, "%.2d %s", static_cast<int>(-std::int64_t{minutes}),
                      unit.c_str());
    }
    return text;
}

std::string ruleLine(const char* prefix, const TransitionRule& rule, const SYSTEMTIME& change,
                     const TextOf& text) {
    const std::string rule_text = std::string(prefix) + text(122u + rule.occurrence) + " " +
                                  text(128u + rule.weekday) + " of " + text(134u + rule.month);
    char line[200];
    std::snprintf(line, sizeof line, "%s [%02d] at %02d:%02d:%02d ", rule_text.c_str(), change.wDay,
                  change.wHour, change.wMinute, change.wSecond);
    return line;
}

std::string millisecondsText(std::uint16_t milliseconds) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d%1d", milliseconds / 10, milliseconds % 10);
    return text;
}

bool advanceTicker(std::int32_t& offset, std::int32_t textWidth, std::int32_t start) {
    if (offset > textWidth + start) {
        offset = 0;
        return true;
    }
    ++offset;
    return false;
}

SYSTEMTIME composeNewTime(const SYSTEMTIME& picker, const SYSTEMTIME& calendar) {
    SYSTEMTIME time = picker;
    time.wYear = calendar.wYear;
    time.wMonth = calendar.wMonth;
    time.wDayOfWeek = calendar.wDayOfWeek;
    time.wDay = calendar.wDay;
    time.wMilliseconds = 0;
    return time;
}

TickerSpan visibleTickerSpan(const std::vector<std::int32_t>& ends, std::int32_t x,
                             std::int32_t width) {
    // Visible: the characters that end right of the window's left edge and start left of its
    // right edge. Character i starts where character i - 1 ends.
    const auto first = std::upper_bound(ends.begin(), ends.end(), -x);
    const std::int32_t right = width - x;
    std::size_t end = 0;
    if (right > 0) {
        end = std::min(ends.size(),
                       static_cast<std::size_t>(std::lower_bound(ends.begin(), ends.end(), right) -
                                                ends.begin()) +
                           1);
    }
    TickerSpan span;
    span.first = static_cast<std::size_t>(first - ends.begin());
    span.count = end > span.first ? end - span.first : 0;
    span.x = x + (first == ends.begin() ? 0 : *(first - 1));
    return span;
}
