// The catalogue of zones: what is kept, what is skipped, which zone is the computer's.
#include "desktop/worldtime/TimeZoneCatalogue.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

struct FakeZone {
    std::map<std::string, std::string> texts;
    std::vector<std::uint8_t> tzi;
    bool opens = true;
};

class FakeSource : public ZoneSource {
public:
    bool openDatabase() override { return exists; }
    std::optional<std::string> subkeyName(std::uint32_t index) override {
        if (index >= names.size()) {
            return std::nullopt;
        }
        return names[index];
    }
    bool openZone(const std::string& name) override {
        current = &zones[name];
        return current->opens;
    }
    std::optional<std::string> text(const char* name) override {
        auto found = current->texts.find(name);
        return found == current->texts.end() ? std::nullopt
                                             : std::optional<std::string>(found->second);
    }
    std::optional<std::vector<std::uint8_t>> bytes(const char* name) override {
        if (std::string(name) != "TZI" || current->tzi.empty()) {
            return std::nullopt;
        }
        return current->tzi;
    }

    bool exists = true;
    std::vector<std::string> names;
    std::map<std::string, FakeZone> zones;
    FakeZone* current = nullptr;
};

// A record with a bias and a March-to-October rule.
std::vector<std::uint8_t> record(std::int32_t bias) {
    std::vector<std::uint8_t> tzi(44, 0);
    for (int i = 0; i < 4; ++i) {
        tzi[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(bias >> (8 * i));
        tzi[8 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(-60 >> (8 * i));
    }
    tzi[14] = 10, tzi[18] = 5, tzi[20] = 3; // StandardDate: October, last, 03:00
    tzi[30] = 3, tzi[34] = 5, tzi[36] = 2;  // DaylightDate: March, last, 02:00
    return tzi;
}

FakeZone zone(const std::string& standard, std::int32_t bias) {
    return {{{"Display", "(UTC) " + standard}, {"Std", standard}, {"Dlt", standard + " DST"}},
            record(bias)};
}

} // namespace

TEST(TimeZoneCatalogue, KeepsTheWholeZonesInOrderAndFindsTheLastMatch) {
    FakeSource source;
    source.names = {"A", "Locked", "B", "Broken", "C", "D"};
    source.zones["A"] = zone("Alpha Time", 120);
    source.zones["Locked"] = zone("Locked Time", 0);
    source.zones["Locked"].opens = false;
    source.zones["B"] = zone("Home Time", -60);
    source.zones["Broken"] = zone("Home Time", 0);
    source.zones["Broken"].tzi.resize(43); // not a whole record
    source.zones["C"] = zone("Home Time", -120);
    source.zones["D"] = zone("Delta Time", 0);
    source.zones["D"].texts.erase("Dlt");

    TimeZoneCatalogue catalogue;
    EXPECT_EQ(loadTimeZones(source, "Home Time", catalogue), 2); // C, the later of two
    ASSERT_EQ(catalogue.size(), 4u);
    EXPECT_EQ(catalogue.displayNames,
              (std::vector<std::string>{"(UTC) Alpha Time", "(UTC) Home Time", "(UTC) Home Time",
                                        "(UTC) Delta Time"}));
    EXPECT_EQ(catalogue.daylightNames[3], "");
    // Every array has one element per zone, and the records belong to their zones.
    for (const auto* array : {&catalogue.bias, &catalogue.daylightMonth, &catalogue.standardDay,
                              &catalogue.standardMilliseconds, &catalogue.daylightYear}) {
        EXPECT_EQ(array->size(), 4u);
    }
    EXPECT_EQ(catalogue.zone(0).bias, 120);
    EXPECT_EQ(catalogue.zone(2).bias, -120);
    EXPECT_EQ(catalogue.zone(2).daylightBias, -60);
    EXPECT_EQ(catalogue.zone(2).daylightStart.month, 3);
    EXPECT_EQ(catalogue.zone(2).standardStart.occurrence, 5);
}

TEST(TimeZoneCatalogue, NoDatabaseOrNoMatchSelectsNothing) {
    FakeSource source;
    source.names = {"A"};
    source.zones["A"] = zone("Alpha Time", 0);
    TimeZoneCatalogue catalogue;
    EXPECT_EQ(loadTimeZones(source, "Elsewhere Time", catalogue), -1);
    EXPECT_EQ(catalogue.size(), 1u);
    source.zones["A"].texts.erase("Std");
    TimeZoneCatalogue again;
    EXPECT_EQ(loadTimeZones(source, "", again), -1); // no name matches no name
    source.exists = false;
    TimeZoneCatalogue none;
    EXPECT_EQ(loadTimeZones(source, "Alpha Time", none), -1);
    EXPECT_EQ(none.size(), 0u);
}
