// A link draws its text in its own font, underlined: the font that the control has now, also
// after the dialog manager gave it another one (it does so when the monitor's DPI changes).
#include "desktop/admin/win/StaticLink.h"

#include "win32/Gdi.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace {

// The font that the link selects into dc when its parent asks for its colours.
LOGFONTA fontDrawnWith(HWND link, HDC dc) {
    SendMessageA(link, reflectedMessageBase + WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                 reinterpret_cast<LPARAM>(link));
    LOGFONTA drawn{};
    GetObjectA(GetCurrentObject(dc, OBJ_FONT), sizeof drawn, &drawn);
    return drawn;
}

} // namespace

TEST(StaticLink, DrawsUnderlinedInEachFontTheControlIsGiven) {
    // A message-only window: the tests run without a display.
    const HWND window = CreateWindowExA(0, "STATIC", "www.tarnwick.example", SS_LEFT, 0, 0, 200, 20,
                                        HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    CStaticLink link("http://www.tarnwick.example/");
    ASSERT_TRUE(link.SubclassWindow(window));
    const MemoryDC dc(CreateCompatibleDC(nullptr));
    ASSERT_TRUE(dc.valid());
    const FontHandle small = arialFont(-13);
    const FontHandle large = arialFont(-26, 0, FW_BOLD);
    for (const FontHandle* given : {&small, &large, &small}) {
        SendMessageA(window, WM_SETFONT, reinterpret_cast<WPARAM>(given->get()), FALSE);
        const LOGFONTA drawn = fontDrawnWith(window, dc.get());
        LOGFONTA expected{};
        GetObjectA(given->get(), sizeof expected, &expected);
        EXPECT_EQ(drawn.lfHeight, expected.lfHeight);
        EXPECT_EQ(drawn.lfWeight, expected.lfWeight);
        EXPECT_TRUE(drawn.lfUnderline);
        EXPECT_EQ(GetTextColor(dc.get()), CStaticLink::unvisitedColor);
    }
    // The DC lets go of the link's font before the link deletes it.
    SelectObject(dc.get(), GetStockObject(SYSTEM_FONT));
    DestroyWindow(window);
}
