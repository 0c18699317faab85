// The Set Time and Date dialog: what it passes when its button is pressed, recorded, and once
// to the real SetLocalTime, which Wine refuses for any change of more than half a second.
#include "desktop/resources/resource.h"
#include "desktop/worldtime/win/SetTimeDlg.h"

#include <gtest/gtest.h>

#include <commctrl.h>
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

std::int64_t secondsOf(const SYSTEMTIME& time) {
    FILETIME file{};
    SystemTimeToFileTime(&time, &file);
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(file.dwHighDateTime) << 32 |
                                     file.dwLowDateTime) /
           10000000;
}

// Picks a day in the calendar and a time in the picker, as a user would, and presses the
// dialog's button.
void chooseAndSet(const CSetTimeDlg& dialog, SYSTEMTIME day, SYSTEMTIME time) {
    ASSERT_TRUE(
        SendMessageA(dialog.m_monthCalendar, MCM_SETCURSEL, 0, reinterpret_cast<LPARAM>(&day)));
    ASSERT_TRUE(SendMessageA(dialog.m_timePicker, DTM_SETSYSTEMTIME, GDT_VALID,
                             reinterpret_cast<LPARAM>(&time)));
    SendMessageA(dialog.m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_SET_TIME, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog.m_hWnd, IDC_SET_TIME)));
}

// The dialog made as the page makes it; it deletes itself with its window. None when it could
// not be made.
CSetTimeDlg* openDialog() {
    INITCOMMONCONTROLSEX classes{sizeof classes, ICC_DATE_CLASSES};
    auto* dialog = new CSetTimeDlg;
    if (!InitCommonControlsEx(&classes) || !dialog->Create(IDD_SET_TIME, nullptr)) {
        delete dialog;
        return nullptr;
    }
    return dialog;
}

} // namespace

TEST(SetTimeDialog, SetsTheCalendarsDayAtThePickersTimeAndWineRefusesABigChange) {
    CSetTimeDlg* dialog = openDialog();
    ASSERT_NE(dialog, nullptr);
    std::vector<SYSTEMTIME> passed;
    dialog->m_setLocalTime = [&passed](const SYSTEMTIME& time) {
        passed.push_back(time);
        return TRUE;
    };
    const HWND window = dialog->m_hWnd;

    // The 29th of February of a leap year at 23:59:58 and some milliseconds in the picker, which
    // also holds another day: the calendar's day, the picker's time of day, no milliseconds.
    chooseAndSet(*dialog, {2028, 2, 2, 29, 0, 0, 0, 0}, {2026, 12, 1, 8, 23, 59, 58, 734});
    // Twice, so that a day in the other daylight-saving state is converted with that state.
    ASSERT_EQ(passed.size(), 2u);
    EXPECT_EQ(std::memcmp(&passed[0], &passed[1], sizeof(SYSTEMTIME)), 0);
    const SYSTEMTIME& set = passed[0];
    EXPECT_EQ(set.wYear, 2028);
    EXPECT_EQ(set.wMonth, 2);
    EXPECT_EQ(set.wDay, 29);
    EXPECT_EQ(set.wHour, 23);
    EXPECT_EQ(set.wMinute, 59);
    EXPECT_EQ(set.wSecond, 58);
    EXPECT_EQ(set.wMilliseconds, 0);

    // For real, an hour ahead: refused, the dialog stays open and this machine's clock is
    // where it was.
    BOOL done = TRUE;
    DWORD error = 0;
    int calls = 0;
    dialog->m_setLocalTime = [&](const SYSTEMTIME& time) {
        ++calls;
        done = SetLocalTime(&time);
        error = GetLastError();
        return done;
    };
    SYSTEMTIME before{};
    GetLocalTime(&before);
    FILETIME hourAhead{};
    SystemTimeToFileTime(&before, &hourAhead);
    ULARGE_INTEGER ticks{{hourAhead.dwLowDateTime, hourAhead.dwHighDateTime}};
    ticks.QuadPart += 36000000000ULL;
    hourAhead = {ticks.LowPart, ticks.HighPart};
    SYSTEMTIME later{};
    FileTimeToSystemTime(&hourAhead, &later);
    chooseAndSet(*dialog, later, later);
    EXPECT_FALSE(done);
    EXPECT_EQ(calls, 1); // nothing to do again after a refusal
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_PRIVILEGE_NOT_HELD));
    EXPECT_TRUE(IsWindow(window));
    SYSTEMTIME after{};
    GetLocalTime(&after);
    EXPECT_LT(std::llabs(secondsOf(after) - secondsOf(before)), 10);
    DestroyWindow(window);
    EXPECT_FALSE(IsWindow(window));
}

// In any font the calendar gets the room its month needs, and nothing overlaps: the calendar
// and the time picker inside the frame, the buttons below it, all inside the dialog.
TEST(SetTimeDialog, TheCalendarHasItsRoomAndNoControlCoversAnother) {
    CSetTimeDlg* dialog = openDialog();
    ASSERT_NE(dialog, nullptr);
    const HWND window = dialog->m_hWnd;
    const auto area = [window](UINT id) {
        RECT rect{};
        GetWindowRect(GetDlgItem(window, id), &rect);
        MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&rect), 2);
        return rect;
    };
    const auto inside = [](const RECT& inner, const RECT& outer) {
        return inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right &&
               inner.bottom <= outer.bottom;
    };
    RECT need{};
    ASSERT_TRUE(SendMessageA(dialog->m_monthCalendar, MCM_GETMINREQRECT, 0,
                             reinterpret_cast<LPARAM>(&need)));
    const RECT calendar = area(IDC_CALENDAR);
    EXPECT_GE(calendar.right - calendar.left, need.right - need.left);
    EXPECT_GE(calendar.bottom - calendar.top, need.bottom - need.top);
    const RECT frame = area(IDC_SET_TIME_FRAME);
    const RECT picker = area(IDC_TIME_PICKER);
    EXPECT_TRUE(inside(calendar, frame));
    EXPECT_TRUE(inside(picker, frame));
    EXPECT_GE(picker.top, calendar.bottom);
    RECT client{};
    GetClientRect(window, &client);
    for (const UINT button : {static_cast<UINT>(IDC_SET_TIME), static_cast<UINT>(IDCANCEL)}) {
        const RECT rect = area(button);
        EXPECT_GE(rect.top, frame.bottom) << button;
        EXPECT_TRUE(inside(rect, client)) << button;
    }
    EXPECT_LE(area(IDC_SET_TIME).right, area(IDCANCEL).left);
    DestroyWindow(window);
}

// Moved to a monitor at 192 DPI: the dialog takes the rectangle Windows suggests, its own big
// font is made for that DPI, and the calendar still has the room its month needs.
TEST(SetTimeDialog, ADpiChangeTakesTheSuggestedRectangleAndMakesTheFontAgain) {
    CSetTimeDlg* dialog = openDialog();
    ASSERT_NE(dialog, nullptr);
    const HWND window = dialog->m_hWnd;
    const auto fontHeight = [&dialog] {
        LOGFONTA font{};
        GetObjectA(reinterpret_cast<HFONT>(SendMessageA(dialog->m_timePicker, WM_GETFONT, 0, 0)),
                   sizeof font, &font);
        return font.lfHeight;
    };
    const LONG before = fontHeight();
    RECT suggested{};
    GetWindowRect(window, &suggested);
    suggested.right += suggested.right - suggested.left;
    suggested.bottom += suggested.bottom - suggested.top;
    SendMessageA(window, WM_DPICHANGED, MAKEWPARAM(192, 192), reinterpret_cast<LPARAM>(&suggested));
    // The dialog finishes once the dialog manager has scaled its controls: a posted message.
    MSG message{};
    for (int i = 0; i < 100 && PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE); ++i) {
        DispatchMessageA(&message);
    }
    RECT now{};
    GetWindowRect(window, &now);
    EXPECT_EQ(now.left, suggested.left);
    EXPECT_EQ(now.top, suggested.top);
    EXPECT_GE(now.right, suggested.right);
    EXPECT_GE(now.bottom, suggested.bottom);
    EXPECT_EQ(fontHeight(), 70) << "at 96 DPI: " << before;
    RECT need{};
    ASSERT_TRUE(SendMessageA(dialog->m_monthCalendar, MCM_GETMINREQRECT, 0,
                             reinterpret_cast<LPARAM>(&need)));
    RECT calendar{};
    GetWindowRect(dialog->m_monthCalendar, &calendar);
    EXPECT_GE(calendar.right - calendar.left, need.right - need.left);
    EXPECT_GE(calendar.bottom - calendar.top, need.bottom - need.top);
    DestroyWindow(window);
}
