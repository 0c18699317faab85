// The world clock's daylight-saving arithmetic against the platform's own, zone by zone, over
// a year of instants, and the computer's zone as Wine derives it from TZ.
#include "desktop/worldtime/ZoneTime.h"
#include "desktop/worldtime/win/RegistryZoneSource.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

SYSTEMTIME ruleTime(const TransitionRule& rule) {
    SYSTEMTIME t{};
    t.wMonth = rule.month;
    t.wDay = rule.occurrence;
    t.wDayOfWeek = rule.weekday;
    t.wHour = rule.hour;
    t.wMinute = rule.minute;
    t.wSecond = rule.second;
    return t;
}

TIME_ZONE_INFORMATION platformZone(const ZoneRecord& zone) {
    TIME_ZONE_INFORMATION information{};
    information.Bias = zone.bias;
    information.DaylightBias = zone.daylightBias;
    if (hasDaylightSaving(zone)) {
        information.StandardDate = ruleTime(zone.standardStart);
        information.DaylightDate = ruleTime(zone.daylightStart);
    }
    return information;
}

bool sameMinute(const SYSTEMTIME& a, const SYSTEMTIME& b) {
    return a.wYear == b.wYear && a.wMonth == b.wMonth && a.wDay == b.wDay && a.wHour == b.wHour &&
           a.wMinute == b.wMinute;
}

} // namespace

TEST(ZonePlatform, EveryZoneShowsThePlatformsLocalTimeThroughTheYear) {
    RegistryZoneSource source(timeZoneDatabaseKey(VER_PLATFORM_WIN32_NT));
    TimeZoneCatalogue catalogue;
    loadTimeZones(source, "", catalogue);
    EXPECT_EQ(catalogue.size(), 139u); // Wine 8's database, all of it
    int compared = 0;
    for (std::size_t i = 0; i < catalogue.size(); ++i) {
        const ZoneRecord zone = catalogue.zone(i);
        TIME_ZONE_INFORMATION information = platformZone(zone);
        // Every 7 hours and 13 minutes of 2026, so that every hour of the day is met; the
        // world clock applies this year's rule, as the platform does for a date of this year.
        FILETIME instant{};
        SYSTEMTIME start{2026, 1, 0, 2, 0, 0, 0, 0};
        SystemTimeToFileTime(&start, &instant);
        ULARGE_INTEGER t{{instant.dwLowDateTime, instant.dwHighDateTime}};
        for (int step = 0; step < 1200; ++step) {
            const FILETIME now{t.LowPart, t.HighPart};
            SYSTEMTIME utc{};
            FileTimeToSystemTime(&now, &utc);
            SYSTEMTIME local{};
            ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(&information, &utc, &local));
            const ZoneTime shown = zoneTimeAt(utc, zone);
            ASSERT_TRUE(sameMinute(shown.wallClock, local))
                << catalogue.displayNames[i] << " at " << utc.wYear << "-" << utc.wMonth << "-"
                << utc.wDay << " " << utc.wHour << ":" << utc.wMinute << " UTC";
            ++compared;
            t.QuadPart += (7ull * 60 + 13) * 60 * 10000000;
        }
    }
    EXPECT_EQ(compared, 139 * 1200);
}
