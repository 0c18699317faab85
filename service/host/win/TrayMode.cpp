// Tray mode, for systems without a service control manager: a hidden window owns the icon in
// the notification area, a worker thread runs the synchronisation.
#include "service/host/win/ServiceBase.h"
#include "win32/ModulePath.h"

#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr LONG_PTR windowClosing = 1;
// How long the end of tray mode waits for the worker once told to abandon its exchange; only
// a name lookup or a dial-up check can take longer.
constexpr DWORD workerEndMilliseconds = 3000;

void startKlemora() {
    // At most 254 characters, as always: _splitpath's parts have fixed sizes.
    const std::string path = modulePath().substr(0, 254);
    char drive[_MAX_DRIVE] = {};
    char directory[_MAX_DIR] = {};
    _splitpath(path.c_str(), drive, directory, nullptr, nullptr);
    char program[_MAX_DRIVE + _MAX_DIR + 16];
    char folder[_MAX_DRIVE + _MAX_DIR];
    std::snprintf(program, sizeof program, "%s%sKlemora.exe", drive, directory);
    std::snprintf(folder, sizeof folder, "%s%s", drive, directory);
    const HINSTANCE result =
        ShellExecuteA(nullptr, nullptr, program, nullptr, folder, SW_SHOWNORMAL);
    if (reinterpret_cast<INT_PTR>(result) <= 32) {
        pendraMessageBox("Klemora.exe not found\nbe shure it is in the same directory",
                         "'Klemora.exe' start failed!", MB_ICONWARNING);
    }
}

} // namespace

DWORD WINAPI workerThread(LPVOID) {
    ServiceBase* service = theService;
    if (service->initialize()) {
        service->run();
        service->setStatus(SERVICE_STOPPED);
    }
    return 0;
}

void showTrayMenu(HWND window, POINT point) {
    HMENU menu = GetMenu(window);
    if (menu == nullptr) {
        return;
    }
    HMENU popup = GetSubMenu(menu, 0);
    SetForegroundWindow(window);
    TrackPopupMenu(popup, TPM_RIGHTBUTTON, point.x, point.y, 0, window, nullptr);
    // Lets the menu close when the user clicks elsewhere.
    PostMessageA(window, WM_USER, 0, 0);
}

LRESULT CALLBACK trayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        theService->trayWindow = window;
        break;
    case WM_DESTROY:
        // Not again when the window is destroyed for real after the message loop.
        if (GetWindowLongPtrA(window, GWLP_USERDATA) != windowClosing) {
            setTrayIcon(window, NIM_DELETE, trayIconId, nullptr, nullptr);
            PostQuitMessage(0);
        }
        break;
    case WM_COMMAND:
        if (wParam == trayExitCommand) {
            PostMessageA(window, WM_DESTROY, 0, 0);
        } else if (wParam == traySetupCommand) {
            startKlemora();
        }
        break;
    case WM_TRAYICON:
        if (lParam == WM_RBUTTONDOWN) {
            POINT cursor{};
            GetCursorPos(&cursor);
            showTrayMenu(window, cursor);
        }
        break;
    default:
        break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

bool ServiceBase::runTrayMode() {
    if (FindWindowA(serviceName, nullptr) != nullptr) {
        pendraMessageBox("Synchronisation already active!", "Pendra start failed!", MB_ICONWARNING);
        return false;
    }

    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = &trayWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszMenuName = MAKEINTRESOURCEA(trayMenuId);
    windowClass.lpszClassName = serviceName;
    RegisterClassExA(&windowClass);

    const int width = static_cast<WORD>(GetSystemMetrics(SM_CXFULLSCREEN));
    const int height = static_cast<WORD>(GetSystemMetrics(SM_CYFULLSCREEN));
    // The window exists before the worker starts, so no message for it can be lost.
    HWND window =
        CreateWindowExA(0, serviceName, serviceName, WS_DLGFRAME, (width - 500) / 2,
                        (height - 300) / 2, 500, 300, nullptr, nullptr, instance, nullptr);
    setTrayIcon(window, NIM_ADD, trayIconId, instance, nullptr);
    ShowWindow(window, SW_HIDE);
    UpdateWindow(window);

    ThreadHandle worker(CreateThread(nullptr, 0, &workerThread, nullptr, 0, nullptr));

    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }

    // Gone at once, so that a new instance started right now finds no window of this class.
    trayWindow = nullptr;
    SetWindowLongPtrA(window, GWLP_USERDATA, windowClosing);
    DestroyWindow(window);

    // The service object outlives the loop's thread: end a loop that still runs, and wait.
    if (worker && WaitForSingleObject(worker.get(), 0) == WAIT_TIMEOUT) {
        abandon();
        if (WaitForSingleObject(worker.get(), workerEndMilliseconds) != WAIT_OBJECT_0) {
            // Stuck where it holds no socket: end the process without tearing the service
            // object down under the thread.
            ExitProcess(0);
        }
        stop(); // returns at once; its line follows the loop's last one
    }
    return true;
}

bool recordForTests(const char* caption, unsigned flags, const char* text) {
    char logPath[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("PENDRA_MESSAGE_LOG", logPath, sizeof logPath);
    if (length == 0 || length >= sizeof logPath) {
        return false;
    }
    // One record per event: caption, flags and text, ended by a form feed.
    StdioFile log;
    log.open(logPath, "ab");
    if (log.get() != nullptr) {
        std::fprintf(log.get(), "%s|%u|%s\f", caption, flags, text != nullptr ? text : "");
    }
    return true;
}

int pendraMessageBox(const char* text, const char* caption, UINT flags) {
    if (recordForTests(caption, flags, text)) {
        return IDOK;
    }
    return MessageBoxA(nullptr, text, caption, flags);
}
