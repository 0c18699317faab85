// How a stored value is shown in the largest whole unit, and how a typed one is read back.
#include "desktop/admin/UnitConversion.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

TEST(UnitConversion, AValueIsShownInTheLargestWholeUnit) {
    const std::vector<std::tuple<StoredUnit, std::uint32_t, std::uint32_t, int>> cases{
        {StoredUnit::milliseconds, 900000, 15, 2},
        {StoredUnit::milliseconds, 3600000, 1, 3},
        {StoredUnit::milliseconds, 1500, 1500, 0},
        {StoredUnit::milliseconds, 0, 0, 0},
        {StoredUnit::milliseconds, 90000, 90, 1},
        {StoredUnit::seconds, 90, 90, 0},
        {StoredUnit::seconds, 7200, 2, 2},
        {StoredUnit::seconds, 120, 2, 1},
        {StoredUnit::seconds, 0, 0, 0},
        {StoredUnit::milliseconds, 4294967295u, 4294967295u, 0},
    };
    for (const auto& [stored, value, number, unit] : cases) {
        const ShownValue shown = showValue(stored, value);
        EXPECT_EQ(shown.number, number) << value;
        EXPECT_EQ(shown.unitIndex, unit) << value;
    }
}

TEST(UnitConversion, TypedNumbersAreMultipliedAndNeverWrap) {
    auto typed = [](const char* text, StoredUnit stored, int unit) {
        return readTypedValue(text, stored, unit);
    };
    EXPECT_FALSE(typed("", StoredUnit::milliseconds, 2).has_value());
    EXPECT_EQ(typed("15", StoredUnit::milliseconds, 3)->stored, 54000000u);
    EXPECT_EQ(typed("  7x", StoredUnit::seconds, 1)->stored, 420u);
    EXPECT_EQ(typed("abc", StoredUnit::seconds, 0)->stored, 0u);
    EXPECT_FALSE(typed("abc", StoredUnit::seconds, 0)->correctedNumber.has_value());
    EXPECT_EQ(typed("5", StoredUnit::seconds, -1)->stored, 5u); // no unit chosen
    // Too large for 32 bits: the largest whole number of the unit that fits, shown instead.
    const auto huge = typed("99999", StoredUnit::milliseconds, 3);
    EXPECT_EQ(huge->stored, 1193u * 3600000u);
    EXPECT_EQ(huge->correctedNumber, 1193u);
    const auto wrapped = typed("4294967296", StoredUnit::milliseconds, 0);
    EXPECT_EQ(wrapped->stored, 4294967295u);
    EXPECT_EQ(wrapped->correctedNumber, 4294967295u);
    EXPECT_EQ(typed("99999999999999999999999", StoredUnit::seconds, 2)->correctedNumber,
              4294967295u / 3600);
    EXPECT_FALSE(typed("4294967295", StoredUnit::milliseconds, 0)->correctedNumber);
    // Negative numbers are 0, and the page shows 0.
    const auto negative = typed("-5", StoredUnit::seconds, 1);
    EXPECT_EQ(negative->stored, 0u);
    EXPECT_EQ(negative->correctedNumber, 0u);
    EXPECT_FALSE(typed("-0", StoredUnit::seconds, 1)->correctedNumber);
}
