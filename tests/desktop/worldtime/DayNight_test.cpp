// Day and night on the map: the sun's position against the almanac, day and night at known
// places and instants, and the darkening of the map.
#include "desktop/worldtime/DayNight.h"
#include "tests/support/SystemTimeAt.h"

#include <gtest/gtest.h>

TEST(DayNight, TheSubsolarPointMatchesTheAlmanac) {
    // The equinoxes and solstices of 2024 (the US Naval Observatory's instants, to the minute):
    // the declination is 0 or the obliquity of the ecliptic, 23.44 degrees.
    struct Instant {
        SYSTEMTIME utc;
        double declination;
    };
    const Instant seasons[] = {{systemTimeAt(2024, 3, 20, 3, 6), 0.0},
                               {systemTimeAt(2024, 6, 20, 20, 51), 23.44},
                               {systemTimeAt(2024, 9, 22, 12, 44), 0.0},
                               {systemTimeAt(2024, 12, 21, 9, 20), -23.44}};
    for (const Instant& season : seasons) {
        EXPECT_NEAR(subsolarPoint(season.utc).latitude, season.declination, 0.02)
            << season.utc.wMonth;
    }
    // At noon UTC the sun stands over Greenwich less the equation of time: at its extremes,
    // -14 min 14 s about 11 February and +16 min 25 s about 3 November, 3.56 degrees east and
    // 4.10 degrees west.
    EXPECT_NEAR(subsolarPoint(systemTimeAt(2024, 2, 11, 12, 0)).longitude, 3.56, 0.1);
    EXPECT_NEAR(subsolarPoint(systemTimeAt(2024, 11, 3, 12, 0)).longitude, -4.10, 0.1);
    // Across the date line: at 00:00 UTC it is over the Pacific, not at +-540 degrees.
    const double midnight = subsolarPoint(systemTimeAt(2024, 6, 13, 0, 0)).longitude;
    EXPECT_TRUE(midnight > 179.5 || midnight < -179.5) << midnight;
}

TEST(DayNight, PlacesAreInDayOrNightAsTheirClocksSay) {
    // 21 June 2024, 12:00 UTC: morning in New York, noon in London and Reykjavik, night in
    // Tokyo (21:00), Sydney (22:00) and Honolulu (02:00).
    const SubsolarPoint june = subsolarPoint(systemTimeAt(2024, 6, 21, 12, 0));
    struct Place {
        const char* name;
        double latitude;
        double longitude;
        bool night;
    };
    const Place places[] = {{"London", 51.5, -0.1, false},     {"New York", 40.7, -74.0, false},
                            {"Reykjavik", 64.1, -21.9, false}, {"Tokyo", 35.7, 139.7, true},
                            {"Sydney", -33.9, 151.2, true},    {"Honolulu", 21.3, -157.9, true}};
    for (const Place& place : places) {
        const double share = nightShare(sunElevation(place.latitude, place.longitude, june));
        EXPECT_EQ(share, place.night ? 1.0 : 0.0) << place.name;
    }
    // Midnight in Helsinki at midsummer is twilight: the sun only a few degrees down.
    const SubsolarPoint late = subsolarPoint(systemTimeAt(2024, 6, 21, 21, 0));
    const double helsinki = nightShare(sunElevation(60.2, 24.9, late));
    EXPECT_GT(helsinki, 0.1);
    EXPECT_LT(helsinki, 0.9);
}

// The map's rows reach from 84 N to about 74.5 S; its columns from -180 degrees. The shading
// itself is checked under Wine, through the map that the clock draws.
TEST(DayNight, TheMapsProjectionMatchesTheBitmap) {
    EXPECT_NEAR(mapLatitude(0, 465), 84.0, 0.2);
    EXPECT_NEAR(mapLatitude(365, 465), -74.5, 0.3);
    EXPECT_NEAR(mapLongitude(0, 465), -179.6, 0.1);
}
