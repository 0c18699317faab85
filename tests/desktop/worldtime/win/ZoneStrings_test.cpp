// The rule line built from Klemora's own string table, and its world map, read from the built
// program.
#include "desktop/resources/resource.h"
#include "desktop/worldtime/ZoneTime.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>

TEST(ZoneStrings, TheRuleLineReadsFromKlemorasStringTable) {
    std::string path = std::string("Z:") + PENDRA_BINARY_DIR + "/bin/Klemora.exe";
    std::replace(path.begin(), path.end(), '/', '\\');
    HMODULE klemora = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(klemora, nullptr) << path;
    const TextOf text = [klemora](unsigned entry) {
        char buffer[128] = {};
        LoadStringA(klemora, entry, buffer, sizeof buffer);
        return std::string(buffer);
    };
    const TransitionRule march{3, 5, 0, 2, 0, 0};
    EXPECT_EQ(ruleLine("Start: ", march, findTransition(2007, march), text),
              "Start: last sunday of march [25] at 02:00:00 ");
    const TransitionRule november{11, 4, 6, 1, 30, 0};
    EXPECT_EQ(ruleLine("End:  ", november, findTransition(2007, november), text),
              "End:  forth saturday of november [24] at 01:30:00 ");
    EXPECT_EQ(offsetText(-60, text(IDS_MINUTES)), "60 Minutes");
    EXPECT_EQ(text(IDS_UTC_NAME), "(UTC) Universal Time Coordinated");
    // The map behind the clock.
    HBITMAP map = LoadBitmapA(klemora, MAKEINTRESOURCEA(IDB_WORLDMAP));
    ASSERT_NE(map, nullptr);
    BITMAP size{};
    GetObjectA(map, sizeof size, &size);
    EXPECT_EQ(size.bmWidth, 465);
    EXPECT_EQ(size.bmHeight, 366);
    DeleteObject(map);
    FreeLibrary(klemora);
}
