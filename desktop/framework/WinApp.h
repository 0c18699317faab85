// The application object: one per process, started by WinMain, which calls its InitInstance.
#pragma once

#include <windows.h>

#include <string>

class CWnd;

class CWinApp {
public:
    // appName: the program's name, the title of its boxes.
    explicit CWinApp(const char* appName);
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;
    virtual ~CWinApp();

    // The program ends when it returns.
    virtual BOOL InitInstance() = 0;
    // Shows the help topic of a context: the main window's.
    virtual void WinHelp(DWORD context);

    HINSTANCE m_hInstance = nullptr;
    CWnd* m_pMainWnd = nullptr;
    const char* m_pszAppName;
};

CWinApp* AfxGetApp();
HINSTANCE AfxGetInstanceHandle();

// A string of the program's string table; empty when absent.
std::string loadString(UINT id);

// Every message box of the program goes through here.
int applicationMessageBox(HWND owner, const char* text, const char* caption, UINT flags);
// A message box of the application: titled with its name, owned by the main window.
int AfxMessageBox(const std::string& text, UINT flags = MB_OK | MB_ICONEXCLAMATION);
