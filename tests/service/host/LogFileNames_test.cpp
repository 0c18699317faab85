#include "service/host/LogFileNames.h"
#include "tests/support/SystemTimeAt.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

FILETIME at(std::uint64_t ticks) {
    return FILETIME{static_cast<std::uint32_t>(ticks), static_cast<std::uint32_t>(ticks >> 32)};
}

// Offers the stems in order and returns the stems that had to go, in the order they went.
std::vector<std::string> offerAll(OldFileList& list,
                                  const std::vector<std::pair<std::uint64_t, std::string>>& files) {
    std::vector<std::string> gone;
    for (const auto& [ticks, stem] : files) {
        if (auto stemGone = list.offer(at(ticks), stem)) {
            gone.push_back(*stemGone);
        }
    }
    return gone;
}

} // namespace

TEST(LogFileNames, DayFileIsNamedByTheUtcDate) {
    EXPECT_EQ(dayFileName("C:\\Logs", "ntp", systemTimeAt(2026, 12, 6, 23, 59, 59, 999)),
              "C:\\Logs\\20261206.ntp");
    EXPECT_EQ(dayFileName("D", "ntp", systemTimeAt(2027, 1, 1, 0, 0, 0, 0)), "D\\20270101.ntp");
    EXPECT_EQ(logFilePattern("C:\\Logs", "ntp"), "C:\\Logs\\*.ntp");
}

TEST(LogFileNames, PrefixIsThirtyCharactersWithTwoBlanksBeforeTheDate) {
    const std::string prefix = logLinePrefix(systemTimeAt(2026, 12, 6, 14, 3, 7, 250));
    EXPECT_EQ(prefix, "UTC: 14:03:07.250  06.12.2026 ");
    EXPECT_EQ(prefix.size(), 30u);
    EXPECT_EQ(logLinePrefix(systemTimeAt(1999, 1, 2, 0, 0, 0, 5)),
              "UTC: 00:00:00.005  02.01.1999 ");
}

TEST(LogFileNames, PrefixOfAnImpossibleReadingStaysInItsBuffer) {
    const std::string prefix =
        logLinePrefix(systemTimeAt(65535, 65535, 65535, 65535, 65535, 65535, 65535));
    EXPECT_EQ(prefix, "UTC: 65535:65535:65535.65535  65535.65535.65535 ");
    EXPECT_EQ(dayFileName("d", "ntp", systemTimeAt(65535, 65535, 65535, 0, 0, 0, 0)),
              "d\\655356553565535.ntp");
}

TEST(LogFileNames, OnlyNamesOfTheDayFileFormCount) {
    EXPECT_TRUE(isLogFileName("20261206.ntp", "ntp"));
    EXPECT_TRUE(isLogFileName("abcdefgh.ntp", "ntp"));
    EXPECT_TRUE(isLogFileName("20261206.NTP", "ntp"));
    EXPECT_FALSE(isLogFileName("notes.ntp", "ntp"));
    EXPECT_FALSE(isLogFileName("20261206.ntp.bak", "ntp"));
    EXPECT_FALSE(isLogFileName("202612061.ntp", "ntp"));
    // Matched through a short name, but the long name has another extension.
    EXPECT_FALSE(isLogFileName("ab.ntpxxxxxx", "ntp"));
    EXPECT_FALSE(isLogFileName("20261206xntp", "ntp"));
    EXPECT_FALSE(isLogFileName("", "ntp"));
}

TEST(LogFileNames, FileTimesCompareAsSixtyFourBitValues) {
    EXPECT_LT(compareFileTime(at(0xFFFFFFFFull), at(0x100000000ull)), 0);
    EXPECT_GT(compareFileTime(at(0x100000000ull), at(0xFFFFFFFFull)), 0);
    EXPECT_EQ(compareFileTime(at(42), at(42)), 0);
    EXPECT_GT(compareFileTime(at(0x8000000000000000ull), at(1)), 0);
}

TEST(OldFileList, KeepThreeOfFiveRemovesTheOldestInEnumerationOrder) {
    OldFileList list(3);
    // The day's file was just created, so it is the newest; names come in name order.
    const auto gone = offerAll(list, {{100, "20261201"},
                                      {200, "20261202"},
                                      {300, "20261203"},
                                      {400, "20261204"},
                                      {500, "20261205"},
                                      {600, "20261206"}});
    EXPECT_EQ(gone, (std::vector<std::string>{"20261201", "20261202", "20261203"}));
    EXPECT_EQ(list.keptStems(), (std::vector<std::string>{"20261206", "20261205", "20261204"}));
}

TEST(OldFileList, AFileOlderThanEveryKeptOneGoesItself) {
    OldFileList list(2);
    const auto gone = offerAll(list, {{500, "new"}, {400, "middle"}, {100, "oldest"}});
    EXPECT_EQ(gone, (std::vector<std::string>{"oldest"}));
    EXPECT_EQ(list.keptStems(), (std::vector<std::string>{"new", "middle"}));
}

TEST(OldFileList, OfEqualTimesTheLaterOfferedIsKeptInFront) {
    OldFileList list(2);
    const auto gone = offerAll(list, {{100, "first"}, {100, "second"}, {100, "third"}});
    EXPECT_EQ(gone, (std::vector<std::string>{"first"}));
    EXPECT_EQ(list.keptStems(), (std::vector<std::string>{"third", "second"}));
}

TEST(OldFileList, CountsOfZeroAndOneKeepEveryFile) {
    for (std::uint32_t count : {0u, 1u}) {
        OldFileList list(count);
        EXPECT_TRUE(offerAll(list, {{1, "a"}, {2, "b"}, {3, "c"}}).empty()) << count;
    }
}

TEST(OldFileList, AHugeCountKeepsWhatExists) {
    OldFileList list(0xFFFFFFFFu);
    EXPECT_TRUE(offerAll(list, {{3, "c"}, {1, "a"}, {2, "b"}}).empty());
    EXPECT_EQ(list.keptStems(), (std::vector<std::string>{"c", "b", "a"}));
}
