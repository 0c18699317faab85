#include "desktop/program/AllControlsSheet.h"

#include "desktop/admin/win/AboutDlg.h"
#include "desktop/admin/win/HtmlHelp.h"
#include "desktop/admin/win/ServiceControl.h"
#include "desktop/admin/win/SettingsRegistry.h"
#include "desktop/framework/WinApp.h"
#include "desktop/resources/resource.h"

namespace {
constexpr UINT applyButton = 0x3021; // the sheet's own Apply button
} // namespace

CAllControlsSheet::CAllControlsSheet(const std::string& caption, CWnd* parent, UINT selectPage)
    : CPropertySheet(caption, parent, selectPage),
      m_hIcon(LoadIconA(AfxGetInstanceHandle(), MAKEINTRESOURCEA(IDR_MAINFRAME))) {
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (GetVersionExA(&version)) {
        isWindowsNT = version.dwPlatformId == VER_PLATFORM_WIN32_NT;
    }
    m_psh.hIcon = m_hIcon;
    m_psh.dwFlags |= PSH_USEHICON;
    LoadSettings();
    AddPage(&m_dateTimePage);
    AddPage(&m_standard);
    AddPage(&m_info);
}

BOOL CAllControlsSheet::OnInitDialog() {
    if (HMENU systemMenu = GetSystemMenu(m_hWnd, FALSE)) {
        const std::string about = loadString(IDS_ABOUTBOX);
        if (!about.empty()) {
            AppendMenuA(systemMenu, MF_SEPARATOR, 0, nullptr);
            AppendMenuA(systemMenu, MF_STRING, IDM_ABOUTBOX, about.c_str());
        }
    }
    SendMessageA(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessageA(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    ShowWindow(GetDlgItem(IDOK), SW_HIDE);
    SetWindowTextA(GetDlgItem(IDCANCEL), loadString(IDS_CLOSE).c_str());
    return CPropertySheet::OnInitDialog();
}

void CAllControlsSheet::WinHelp(DWORD context) {
    showHelpTopic(context);
}

void CAllControlsSheet::openAboutBox() {
    openModelessDialog<CAboutDlg>(IDD_ABOUTBOX, this);
}

LRESULT CAllControlsSheet::windowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_QUERYDRAGICON:
        return reinterpret_cast<LRESULT>(m_hIcon);
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
            openAboutBox();
            return 0;
        }
        break;
    case WM_TIMER:
        return 0;
    case WM_COMMAND:
        // OK is hidden but stays the default button, so Enter in a page arrives here. It
        // applies, as the visible Apply would, and never closes the sheet: a refused save keeps
        // the page and its edits.
        if (LOWORD(wParam) == IDOK) {
            if (IsWindowEnabled(GetDlgItem(applyButton))) {
                SendMessageA(m_hWnd, PSM_PRESSBUTTON, PSBTN_APPLYNOW, 0);
            }
            return 0;
        }
        break;
    default:
        break;
    }
    return CPropertySheet::windowProc(message, wParam, lParam);
}
