// A time zone's wall-clock time and daylight-saving state, its change dates in a year, and the
// texts the world clock shows about it. Portable, so that all of it is tested natively.
#pragma once

#include "common/PlatformTypes.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// One change of a daylight-saving rule in its recurring form: the occurrence-th weekday of a
// month (occurrence 5 is the last), at a local time of day.
struct TransitionRule {
    std::uint16_t month;      // 1..12; 0 in the start rule: no daylight saving
    std::uint16_t occurrence; // 1..5
    std::uint16_t weekday;    // 0 = Sunday .. 6
    std::uint16_t hour, minute, second;
};

// The registry's "TZI" record of a zone.
struct ZoneRecord {
    std::int32_t bias;         // minutes; UTC = standard time + bias
    std::int32_t daylightBias; // minutes added to bias while daylight saving is in force
    TransitionRule daylightStart;
    TransitionRule standardStart;
};

// The 44-byte little-endian record; none when shorter.
std::optional<ZoneRecord> parseZoneRecord(const std::uint8_t* data, std::size_t size);

// Whether a start rule describes daylight saving at all: a month 1..12, an occurrence 1..5 and
// a weekday 0..6 in both rules. A rule outside these ranges counts as none.
bool hasDaylightSaving(const ZoneRecord& zone);

// The date and time of a change in the given year. February has its real length, so "last
// Sunday of February" is the 29th in a leap year where that is a Sunday.
SYSTEMTIME findTransition(std::uint16_t year, const TransitionRule& rule);

struct ZoneTime {
    SYSTEMTIME wallClock;
    bool daylight;
    SYSTEMTIME daylightStart; // this year's changes, when the zone has daylight saving
    SYSTEMTIME standardStart;
};

// The zone's wall-clock time at a UTC instant, with this year's (the UTC year's) changes.
ZoneTime zoneTimeAt(const SYSTEMTIME& utc, const ZoneRecord& zone);

// "- %.2d %s" for a positive offset v, "%.2d %s" with -v otherwise: a zone 5 hours behind UTC
// shows "- 300 Minutes".
std::string offsetText(std::int32_t minutes, const std::string& unit);

// The texts of the string table: entry 122 + occurrence, 128 + weekday, 134 + month.
using TextOf = std::function<std::string(unsigned entry)>;

// "Start: last sunday of march [25] at 02:00:00 " (the prefix is "Start: " or "End:  ").
std::string ruleLine(const char* prefix, const TransitionRule& rule, const SYSTEMTIME& change,
                     const TextOf& text);

// The hundredths and the last digit of the milliseconds, "%02d%1d": 999 ms give "999".
std::string millisecondsText(std::uint16_t milliseconds);

// What the Set Time and Date dialog sets: the calendar's date with the picker's time of day,
// milliseconds 0.
SYSTEMTIME composeNewTime(const SYSTEMTIME& picker, const SYSTEMTIME& calendar);

// One step of the ticker: the text moves one pixel left and starts again at the start once it
// has left the window; true at such a restart.
bool advanceTicker(std::int32_t& offset, std::int32_t textWidth, std::int32_t start);

// The part of a ticker line that falls inside a window of the given width, when the line is
// drawn at x: ends[i] is where character i ends, measured from the line's start. Drawing only
// this part keeps a long line as cheap as a short one.
struct TickerSpan {
    std::size_t first = 0;
    std::size_t count = 0;
    std::int32_t x = 0;
};
TickerSpan visibleTickerSpan(const std::vector<std::int32_t>& ends, std::int32_t x,
                             std::int32_t width);
