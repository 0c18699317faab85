#include "desktop/worldtime/win/SetTimeDlg.h"

#include "desktop/framework/WinApp.h"
#include "desktop/resources/resource.h"
#include "desktop/worldtime/ZoneTime.h"

#include <commctrl.h>

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
    LOGFONTA description{};
    description.lfHeight = 35;
    lstrcpynA(description.lfFaceName, "Arial", LF_FACESIZE);
    m_font.reset(CreateFontIndirectA(&description));
    SetWindowTextA(GetDlgItem(IDC_SET_TIME_FRAME), loadString(IDS_SET_TIME_TITLE).c_str());
    SetWindowTextA(GetDlgItem(IDC_SET_TIME), loadString(IDS_SET_TIME).c_str());
    m_timePicker = replacePlaceholder(IDC_TIME_PICKER, DATETIMEPICK_CLASSA,
                                      WS_CHILD | WS_VISIBLE | WS_TABSTOP | DTS_TIMEFORMAT);
    SendMessageA(m_timePicker, WM_SETFONT, reinterpret_cast<WPARAM>(m_font.get()), TRUE);
    m_monthCalendar = replacePlaceholder(IDC_CALENDAR, MONTHCAL_CLASSA,
                                         WS_CHILD | WS_VISIBLE | WS_TABSTOP | MCS_WEEKNUMBERS |
                                             MCS_NOTODAYCIRCLE);
    SendMessageA(m_monthCalendar, MCM_SETCOLOR, MCSC_MONTHBK, RGB(192, 192, 192));
    SendMessageA(m_monthCalendar, MCM_SETCOLOR, MCSC_BACKGROUND, RGB(192, 192, 192));
    return TRUE;
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
