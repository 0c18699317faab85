#include "desktop/framework/WinApp.h"

#include "desktop/framework/Wnd.h"

#include <commctrl.h>

namespace {
CWinApp* theApplication = nullptr;
} // namespace

CWinApp::CWinApp(const char* appName) : m_pszAppName(appName) {
    theApplication = this;
}

CWinApp::~CWinApp() {
    if (theApplication == this) {
        theApplication = nullptr;
    }
}

void CWinApp::WinHelp(DWORD context) {
    if (m_pMainWnd != nullptr) {
        m_pMainWnd->WinHelp(context);
    }
}

CWinApp* AfxGetApp() {
    return theApplication;
}

HINSTANCE AfxGetInstanceHandle() {
    return theApplication != nullptr ? theApplication->m_hInstance : GetModuleHandleA(nullptr);
}

std::string loadString(UINT id) {
    char text[512];
    const int length = LoadStringA(AfxGetInstanceHandle(), id, text, sizeof text);
    return length > 0 ? std::string(text, static_cast<std::size_t>(length)) : std::string();
}

int applicationMessageBox(HWND owner, const char* text, const char* caption, UINT flags) {
    return MessageBoxA(owner, text, caption, flags);
}

int AfxMessageBox(const std::string& text, UINT flags) {
    CWinApp* app = AfxGetApp();
    const HWND owner =
        app != nullptr && app->m_pMainWnd != nullptr ? app->m_pMainWnd->m_hWnd : nullptr;
    return applicationMessageBox(owner, text.c_str(), app != nullptr ? app->m_pszAppName : nullptr,
                                 flags);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES | ICC_UPDOWN_CLASS |
                                                       ICC_DATE_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    if (theApplication == nullptr) {
        return 1;
    }
    theApplication->m_hInstance = instance;
    theApplication->InitInstance();
    return 0;
}
