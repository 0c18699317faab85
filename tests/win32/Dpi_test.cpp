// Lengths made for 96 DPI at other DPIs, and the DPI of a window on any system.
#include "win32/Dpi.h"

#include <gtest/gtest.h>

TEST(Dpi, LengthsFollowTheDpiRoundedAndAWindowHasOne) {
    EXPECT_EQ(forDpi(15, 96), 15);
    EXPECT_EQ(forDpi(35, 120), 44); // 43.75
    EXPECT_EQ(forDpi(35, 144), 53); // 52.5, rounded away from zero
    EXPECT_EQ(forDpi(14, 192), 28);
    const HWND window =
        CreateWindowExA(0, "STATIC", "", 0, 0, 0, 10, 10, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    const HDC screen = GetDC(nullptr);
    const UINT screenDpi = static_cast<UINT>(GetDeviceCaps(screen, LOGPIXELSY));
    ReleaseDC(nullptr, screen);
    // This process declares no awareness: every window is at the system's DPI.
    EXPECT_EQ(windowDpi(window), screenDpi);
    EXPECT_EQ(windowDpi(nullptr), screenDpi);
    DestroyWindow(window);
}
