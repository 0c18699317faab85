#include "desktop/worldtime/win/DateTimePage.h"

#include "win32/WindowText.h"

#include "desktop/framework/WinApp.h"
#include "desktop/resources/resource.h"
#include "desktop/worldtime/win/RegistryZoneSource.h"
#include "desktop/worldtime/win/SetTimeDlg.h"
#include "desktop/worldtime/win/WebGrab.h"
#include "win32/Dpi.h"
#include "win32/Gdi.h"

const char* const tickerBanner =
    "+++ Klemora, the world clock of Tarnwick +++ keeps your clock right with Pendra +++";

namespace {

constexpr UINT_PTR clockTimer = 1;
// The zone list's font height in pixels at 96 DPI.
constexpr int zoneListFont = 14;

} // namespace

CDateTimePage::CDateTimePage()
    : CPropertyPage(IDD_DATETIME), m_worldClock(*this), m_tickerText(tickerBanner) {}

CDateTimePage::~CDateTimePage() = default;

void CDateTimePage::fitSelectHint() {
    const HWND hint = GetDlgItem(IDC_SELECT_HINT);
    const std::string text = windowText(hint);
    const HDC dc = GetDC(hint);
    if (dc == nullptr) {
        return;
    }
    SIZE extent{};
    {
        const SelectedObject font(dc,
                                  reinterpret_cast<HGDIOBJ>(SendMessageA(hint, WM_GETFONT, 0, 0)));
        GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &extent);
    }
    ReleaseDC(hint, dc);
    const RECT area = itemRectangle(IDC_SELECT_HINT);
    const int missing = extent.cx - (area.right - area.left);
    if (missing <= 0) {
        return; // the template's width suffices
    }
    // The label takes the width its text needs from the zone list to its left.
    const RECT list = itemRectangle(IDC_ZONE_LIST);
    SetWindowPos(m_zoneList, nullptr, 0, 0, list.right - list.left - missing,
                 list.bottom - list.top, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    SetWindowPos(hint, nullptr, area.left - missing, area.top, extent.cx, area.bottom - area.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

BOOL CDateTimePage::OnInitDialog() {
    SetWindowTextA(GetDlgItem(IDC_SET_TIME), loadString(IDS_SET_TIME).c_str());
    switchClockMode();
    SetWindowTextA(GetDlgItem(IDC_SHOW_THIS), loadString(IDS_SHOW_THIS).c_str());

    // The clock's rectangle, kept for each activation; its placeholder steps aside.
    m_clockFrame = GetDlgItem(IDC_WORLD_CLOCK);
    m_clockArea = itemRectangle(IDC_WORLD_CLOCK);
    SetWindowLongPtrA(m_clockFrame, GWLP_ID, 0);
    // Under the clock, which is transparent to the mouse: a click on the clock sets the time.
    SetWindowPos(GetDlgItem(IDC_SET_TIME), HWND_BOTTOM, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);

    if (const HWND placeholder = GetDlgItem(IDC_ZONE_LIST)) {
        const RECT area = itemRectangle(IDC_ZONE_LIST);
        DestroyWindow(placeholder);
        m_zoneList = CreateWindowExA(
            0, "COMBOBOX", "", WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWN,
            area.left, area.top, area.right - area.left, area.bottom - area.top, m_hWnd,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_ZONE_LIST)), AfxGetInstanceHandle(),
            nullptr);
        giveArialFont(m_zoneList, m_font, zoneListFont, windowDpi(m_hWnd));
        TIME_ZONE_INFORMATION zone{};
        GetTimeZoneInformation(&zone);
        char standardName[64] = {};
        WideCharToMultiByte(CP_ACP, 0, zone.StandardName, -1, standardName, sizeof standardName,
                            nullptr, nullptr);
        m_currentStandardName = standardName;
        LoadTimeZones();
        SendMessageA(m_zoneList, CB_SETCURSEL, static_cast<WPARAM>(m_selectedZone), 0);
        fitSelectHint();
    }
    return TRUE;
}

void CDateTimePage::OnDpiChanged(UINT dpi) {
    giveArialFont(m_zoneList, m_font, zoneListFont, dpi);
    fitSelectHint();
    // The clock takes its frame's new rectangle and draws its picture for that size.
    if (m_clockFrame != nullptr) {
        GetWindowRect(m_clockFrame, &m_clockArea);
        MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&m_clockArea), 2);
    }
    if (m_worldClock.m_hWnd != nullptr) {
        SetWindowPos(m_worldClock.m_hWnd, nullptr, m_clockArea.left, m_clockArea.top,
                     m_clockArea.right - m_clockArea.left, m_clockArea.bottom - m_clockArea.top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

void CDateTimePage::LoadTimeZones() {
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(&version);
    RegistryZoneSource source(loadString(
        version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS ? IDS_ZONES_95 : IDS_ZONES_NT));
    const int computersZone = loadTimeZones(source, m_currentStandardName, m_catalogue);
    for (const std::string& name : m_catalogue.displayNames) {
        SendMessageA(m_zoneList, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
    }
    if (computersZone >= 0) {
        m_selectedZone = computersZone;
    }
}

BOOL CDateTimePage::OnSetActive() {
    if (m_worldClock.create(m_clockArea, IDC_WORLD_CLOCK)) {
        // Above the set-time button, below the zone list that drops over the clock.
        SetWindowPos(m_worldClock.m_hWnd, GetDlgItem(IDC_SWITCH_MODE), 0, 0, 0, 0,
                     SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }
    SetTimer(m_hWnd, clockTimer, 2, nullptr);
    return CPropertyPage::OnSetActive();
}

BOOL CDateTimePage::OnKillActive() {
    KillTimer(m_hWnd, clockTimer);
    if (m_worldClock.m_hWnd != nullptr) {
        SendMessageA(m_worldClock.m_hWnd, WM_CLOSE, 0, 0);
    }
    return CPropertyPage::OnKillActive();
}

void CDateTimePage::switchClockMode() {
    const HWND button = GetDlgItem(IDC_SWITCH_MODE);
    const std::string showUtc = loadString(IDS_SHOW_UTC);
    const std::string showLocal = loadString(IDS_SHOW_LOCAL);
    // The caption names the mode that the next press selects.
    if (windowText(button) != showUtc) {
        SetWindowTextA(button, showUtc.c_str());
        m_displayMode = showLocal;
    } else {
        SetWindowTextA(button, showLocal.c_str());
        m_displayMode = showUtc;
    }
    m_selectedZone = -1;
}

void CDateTimePage::takeChosenZone() {
    m_selectedZone = static_cast<int>(SendMessageA(m_zoneList, CB_GETCURSEL, 0, 0));
}

bool CDateTimePage::onCommand(UINT id, UINT code, HWND control) {
    if (id == IDC_SET_TIME && code == BN_CLICKED) {
        // One more per press; the page keeps no reference to it.
        openModelessDialog<CSetTimeDlg>(IDD_SET_TIME, this);
        return true;
    }
    if (id == IDC_SWITCH_MODE && code == BN_CLICKED) {
        switchClockMode();
        return true;
    }
    if ((id == IDC_SHOW_THIS && code == BN_CLICKED) ||
        (id == IDC_ZONE_LIST && code == CBN_SELCHANGE)) {
        takeChosenZone();
        return true;
    }
    return CPropertyPage::onCommand(id, code, control);
}

bool CDateTimePage::onMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) {
    if (message == WM_TIMER && wParam == clockTimer) {
        // Counts towards the next news download; the first tick starts one.
        if (m_downloadCountdown < 1080) {
            ++m_downloadCountdown;
        } else {
            m_downloadCountdown = 0;
            // While the last download still runs, this turn is skipped.
            CWebGrab::StartOne();
        }
        result = 0;
        return true;
    }
    return CPropertyPage::onMessage(message, wParam, lParam, result);
}
