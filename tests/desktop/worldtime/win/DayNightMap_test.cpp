// The map's night side drawn through GDI for a chosen instant, once a minute.
#include "desktop/worldtime/DayNight.h"
#include "desktop/worldtime/win/DayNightMap.h"
#include "tests/support/SystemTimeAt.h"

#include <gtest/gtest.h>

TEST(DayNightMap, TheNightSideIsDrawnForTheInstantOncePerMinute) {
    constexpr int width = 465;
    constexpr int height = 366;
    BITMAPINFO info{};
    info.bmiHeader = {sizeof info.bmiHeader, width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    const BitmapHandle day(CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    ASSERT_TRUE(day && bits != nullptr);
    std::fill_n(static_cast<std::uint32_t*>(bits), width * height, 0x00C08040u);

    DayNightMap map(day.get());
    ASSERT_EQ(map.size().cx, width);
    const auto at = [&](double latitude, double longitude) {
        int row = 0;
        while (row + 1 < height && mapLatitude(row, width) > latitude) {
            ++row;
        }
        return map.pixel(static_cast<int>((longitude + 180.0) / 360.0 * width), row);
    };
    EXPECT_EQ(at(-33.9, 151.2), 0x00C08040u); // before the first drawing: all day

    // 21 June 2024, 12:00 UTC: noon in London, night in Sydney.
    EXPECT_TRUE(map.update(systemTimeAt(2024, 6, 21, 12, 0, 5)));
    EXPECT_EQ(at(51.5, -0.1), 0x00C08040u);
    EXPECT_EQ(at(-33.9, 151.2), 0x004C3319u);
    EXPECT_FALSE(map.update(systemTimeAt(2024, 6, 21, 12, 0, 59, 999))); // the same minute
    // Twelve hours on, the other way round.
    EXPECT_TRUE(map.update(systemTimeAt(2024, 6, 22, 0, 0)));
    EXPECT_EQ(at(-33.9, 151.2), 0x00C08040u);
    EXPECT_NE(at(51.5, -0.1), 0x00C08040u);

    EXPECT_FALSE(DayNightMap(nullptr).update(systemTimeAt(2024, 6, 21, 12, 0)));
}
