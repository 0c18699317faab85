// The time-zone database of Wine's registry, read as the world clock reads it.
#include "desktop/worldtime/win/RegistryZoneSource.h"

#include <gtest/gtest.h>

#include <algorithm>

TEST(RegistryZones, TheNtDatabaseHoldsTheZonesWithTheirRules) {
    RegistryZoneSource source(timeZoneDatabaseKey(VER_PLATFORM_WIN32_NT));
    TimeZoneCatalogue catalogue;
    const int sydney = loadTimeZones(source, "AUS Eastern Standard Time", catalogue);
    EXPECT_GT(catalogue.size(), 100u);
    ASSERT_GE(sydney, 0);
    const ZoneRecord zone = catalogue.zone(static_cast<std::size_t>(sydney));
    EXPECT_EQ(zone.bias, -600);
    EXPECT_EQ(zone.daylightBias, -60);
    EXPECT_EQ(zone.daylightStart.month, 10); // southern: starts in October, ends in April
    EXPECT_EQ(zone.standardStart.month, 4);
    const auto utc = std::find(catalogue.standardNames.begin(), catalogue.standardNames.end(),
                               "Greenwich Standard Time");
    ASSERT_NE(utc, catalogue.standardNames.end());
    const auto position = static_cast<std::size_t>(utc - catalogue.standardNames.begin());
    EXPECT_EQ(catalogue.zone(position).bias, 0);
    EXPECT_FALSE(hasDaylightSaving(catalogue.zone(position)));
}

TEST(RegistryZones, TheWindows98DatabaseHasTheSameZones) {
    RegistryZoneSource nt(timeZoneDatabaseKey(VER_PLATFORM_WIN32_NT));
    RegistryZoneSource windows98(timeZoneDatabaseKey(VER_PLATFORM_WIN32_WINDOWS));
    TimeZoneCatalogue first;
    TimeZoneCatalogue second;
    loadTimeZones(nt, "", first);
    loadTimeZones(windows98, "", second);
    EXPECT_EQ(first.displayNames, second.displayNames);
    EXPECT_EQ(first.bias, second.bias);
}
