// What Windows tells Klemora about its rights, and what Klemora asks of Windows in its manifest.
// Wine gives every process a full administrator's token; the refusals of the filtered and the
// standard user's tokens are decided natively.
#include "desktop/admin/win/TokenRights.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>

TEST(TokenRights, WinesFullTokenIsReadAndMayChangeTheSettings) {
    const TokenRights rights = currentTokenRights();
    EXPECT_EQ(rights.type, TokenRights::Elevation::full);
    EXPECT_TRUE(rights.elevated);
    EXPECT_TRUE(mayChangeSettings(rights));
}

TEST(TokenRights, KlemoraAsksForTheHighestRightsItsUserHas) {
    std::string path = std::string("Z:") + PENDRA_BINARY_DIR + "/bin/Klemora.exe";
    std::replace(path.begin(), path.end(), '/', '\\');
    HMODULE klemora = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(klemora, nullptr) << path;
    HRSRC found = FindResourceA(klemora, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24)); // RT_MANIFEST
    ASSERT_NE(found, nullptr);
    const auto* data = static_cast<const char*>(LockResource(LoadResource(klemora, found)));
    ASSERT_NE(data, nullptr);
    const std::string manifest(data, SizeofResource(klemora, found));
    FreeLibrary(klemora);
    // Administrators are asked once at the start; standard users run as they are.
    EXPECT_NE(manifest.find("level=\"highestAvailable\""), std::string::npos) << manifest;
    EXPECT_EQ(manifest.find("asInvoker"), std::string::npos);
    // Drawn at the monitor's DPI where Windows has per-monitor awareness with dialog scaling,
    // else at the system's; never stretched by Windows.
    EXPECT_NE(manifest.find("WindowsSettings\">true</dpiAware>"), std::string::npos);
    EXPECT_NE(manifest.find("WindowsSettings\">PerMonitorV2, System</dpiAwareness>"),
              std::string::npos);
}
