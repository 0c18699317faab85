// The shared text helpers: module paths, system message texts and window texts, whole.
#include "win32/ModulePath.h"
#include "win32/SystemMessage.h"
#include "win32/WindowText.h"

#include <gtest/gtest.h>

#include <string>

namespace {

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

} // namespace

TEST(Win32Texts, ModulePathsOfThisProgramAndOfALoadedLibrary) {
    EXPECT_TRUE(endsWith(modulePath(), "win32_tests.exe")) << modulePath();
    std::string kernel = modulePath(GetModuleHandleA("kernel32.dll"));
    for (char& c : kernel) {
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    EXPECT_TRUE(endsWith(kernel, "\\kernel32.dll")) << kernel;
    // A module that is not loaded has no path.
    EXPECT_EQ(modulePath(reinterpret_cast<HMODULE>(0x10)), "");
}

TEST(Win32Texts, ASystemMessageKeepsTheCallersLastError) {
    SetLastError(ERROR_ACCESS_DENIED);
    const std::string text = systemMessage(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(text.empty());
    EXPECT_TRUE(endsWith(text, "\r\n")) << text;
    // A code without a text gives none.
    EXPECT_EQ(systemMessage(0x2FFFFFFF), "");
}

TEST(Win32Texts, AWindowsTextIsReadWholeHoweverLong) {
    const std::string text(700, 'k');
    for (const std::string& shown : {std::string(), std::string("Show UTC"), text}) {
        // A message-only window: the tests run without a display.
        const HWND window = CreateWindowExA(0, "STATIC", shown.c_str(), 0, 0, 0, 10, 10,
                                            HWND_MESSAGE, nullptr, nullptr, nullptr);
        ASSERT_NE(window, nullptr);
        EXPECT_EQ(windowText(window), shown);
        DestroyWindow(window);
    }
}
