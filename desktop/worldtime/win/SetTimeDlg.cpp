#include "desktop/worldtime/win/SetTimeDlg.h"

#include "desktop/framework/WinApp.h"
#include "desktop/resources/resource.h"
#include "desktop/worldtime/ZoneTime.h"
#include "win32/Dpi.h"
#include "win32/Gdi.h"

#include <commctrl.h>

#include <algorithm>

namespace {

// The time picker's font height in pixels at 96 DPI: large, easy to read and set.
constexpr int timePickerFont = 35;

} // namespace

CSetTimeDlg::CSetTimeDlg() : CDialog(IDD_SET_TIME) {}

CSetTimeDlg::~CSetTimeDlg() = default;

HWND CSetTimeDlg::replacePlaceholder(UINT id, const char* windowClass, DWORD style) {
    const RECT area = itemRectangle(id);
    DestroyWindow(GetDlgItem(id));
    return CreateWindowExA(0, windowClass, "", style, area.left, area.top, area.right - area.left,
                           area.bottom - area.top, m_hWnd,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                           AfxGetInstanceHandle(), nullptr);
}

BOOL CSetTimeDlg::OnInitDialog() {
    SetWindowTextA(GetDlgItem(IDC_SET_TIME_FRAME), loadString(IDS_SET_TIME_TITLE).c_str());
    SetWindowTextA(GetDlgItem(IDC_SET_TIME), loadString(IDS_SET_TIME).c_str());
    m_timePicker = replacePlaceholder(IDC_TIME_PICKER, DATETIMEPICK_CLASSA,
                                      WS_CHILD | WS_VISIBLE | WS_TABSTOP | DTS_TIMEFORMAT);
    giveArialFont(m_timePicker, m_font, timePickerFont, windowDpi(m_hWnd));
    m_monthCalendar = replacePlaceholder(IDC_CALENDAR, MONTHCAL_CLASSA,
                                         WS_CHILD | WS_VISIBLE | WS_TABSTOP | MCS_WEEKNUMBERS |
                                             MCS_NOTODAYCIRCLE);
    SendMessageA(m_monthCalendar, MCM_SETCOLOR, MCSC_MONTHBK, RGB(192, 192, 192));
    SendMessageA(m_monthCalendar, MCM_SETCOLOR, MCSC_BACKGROUND, RGB(192, 192, 192));
    fitCalendar();
    return TRUE;
}

void CSetTimeDlg::OnDpiChanged(UINT dpi) {
    giveArialFont(m_timePicker, m_font, timePickerFont, dpi);
    fitCalendar();
}

void CSetTimeDlg::fitCalendar() {
    RECT need{};
    if (!SendMessageA(m_monthCalendar, MCM_GETMINREQRECT, 0, reinterpret_cast<LPARAM>(&need))) {
        return;
    }
    // About a day's column to spare, which the calendar shares out on both sides: with week
    // numbers and no circle, Wine's calendar starts its today line one column left of the days,
    // beyond the left edge of a calendar of only its least width.
    need.right += (need.right - need.left) / 8;
    const RECT calendar = itemRectangle(IDC_CALENDAR);
    const int growX =
        static_cast<int>(std::max(0L, (need.right - need.left) - (calendar.right - calendar.left)));
    const int growY =
        static_cast<int>(std::max(0L, (need.bottom - need.top) - (calendar.bottom - calendar.top)));
    if (growX == 0 && growY == 0) {
        return; // the template's room suffices: its layout stays as it is
    }
    const auto place = [this](UINT id, int dx, int dy, int dw, int dh) {
        const RECT area = itemRectangle(id);
        SetWindowPos(GetDlgItem(id), nullptr, area.left + dx, area.top + dy,
                     area.right - area.left + dw, area.bottom - area.top + dh,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    };
    // The calendar grows to the right and down; the frame grows with it, and what lies below
    // moves down, staying centred under the wider frame.
    place(IDC_CALENDAR, 0, 0, growX, growY);
    place(IDC_SET_TIME_FRAME, 0, 0, growX, growY);
    place(IDC_TIME_PICKER, growX / 2, growY, 0, 0);
    place(IDC_SET_TIME, growX / 2, growY, 0, 0);
    place(IDCANCEL, growX / 2, growY, 0, 0);
    RECT window{};
    GetWindowRect(m_hWnd, &window);
    SetWindowPos(m_hWnd, nullptr, 0, 0, window.right - window.left + growX,
                 window.bottom - window.top + growY, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void CSetTimeDlg::apply() {
    SendMessageA(m_timePicker, DTM_GETSYSTEMTIME, 0, reinterpret_cast<LPARAM>(&m_newTime));
    SendMessageA(m_monthCalendar, MCM_GETCURSEL, 0, reinterpret_cast<LPARAM>(&m_chosenDate));
    m_newTime = composeNewTime(m_newTime, m_chosenDate);
    // A refused change (no right to set the clock) shows nothing; the dialog stays open.
    // The local time is converted with the daylight-saving state in force at the call: once the
    // first call has moved the clock into the other state, the second converts with that one.
    if (m_setLocalTime(m_newTime)) {
        m_setLocalTime(m_newTime);
    }
}

bool CSetTimeDlg::onCommand(UINT id, UINT code, HWND control) {
    if (id == IDC_SET_TIME && code == BN_CLICKED) {
        apply();
        return true;
    }
    return CDialog::onCommand(id, code, control);
}

void CSetTimeDlg::OnCancel() {
    // "Beenden" closes this dialog for good; the page keeps no reference to it.
    DestroyWindow(m_hWnd);
}
