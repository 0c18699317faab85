// The one service object of the process: what the service control manager needs, and the
// virtual operations through which the host drives the synchronisation engine.
#pragma once

#include "service/host/Logger.h"
#include "service/host/WinGuards.h"

#include <windows.h>

#include <memory>

class ServiceBase {
public:
    ServiceBase(HINSTANCE instance, const char* serviceName, DWORD controlsAccepted);
    ServiceBase(const ServiceBase&) = delete;
    ServiceBase& operator=(const ServiceBase&) = delete;
    virtual ~ServiceBase();

    // A double-zero-terminated list of service names, or none.
    virtual const char* dependencies() { return nullptr; }
    virtual void run() = 0;
    virtual bool initialize() { return true; }
    virtual void stop() {}
    virtual void interrogate() {}
    virtual void pause() {}
    virtual void resume() {}
    virtual void shutdown() {}
    virtual bool userControl(DWORD) { return false; }
    virtual Logger& log();

    // Records a state and, on Windows NT, reports it; the stopped state is reported once and
    // nothing is reported after it.
    void setStatus(DWORD state);
    bool startUp();
    static void WINAPI serviceMain(DWORD argc, LPSTR* argv);
    static void WINAPI controlHandler(DWORD control);

    // Shows a text as the tip of the tray icon; only in tray mode.
    void showTrayTip(const char* text);

    // Whether a service of that name exists (none: this one); always true off Windows NT.
    bool isInstalled(const char* name = nullptr);
    bool install(DWORD startType);
    bool uninstall();
    // Service mode on Windows NT, tray mode elsewhere; false when it could not run.
    bool start();

    HWND trayWindow = nullptr;
    const char* const serviceName;
    SERVICE_STATUS_HANDLE statusHandle = nullptr;
    SERVICE_STATUS status{};
    bool isWindowsNT = false;
    bool stoppedReported = false;
    HINSTANCE instance;

protected:
    CriticalSection statusLock;

private:
    bool runTrayMode();

    std::unique_ptr<Logger> baseLogger;
};

// The process's one service object; the system calls the service entry points and the tray
// window procedure without a context.
extern ServiceBase* theService;

// Shell_NotifyIconA for the tray icon (the 16x16 image of resource iconId of instance, when
// given); a missing tip shows "Pendra active", a longer one is cut to 127 characters.
BOOL setTrayIcon(HWND window, DWORD message, UINT iconId, HINSTANCE instance, const char* tip);

LRESULT CALLBACK trayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void showTrayMenu(HWND window, POINT point);
DWORD WINAPI workerThread(LPVOID);

// Every message box of Pendra: no owner. With PENDRA_MESSAGE_LOG set in the environment the
// box is appended to that file instead of being shown, so tests can read what it said.
int pendraMessageBox(const char* text, const char* caption, UINT flags);

// With PENDRA_MESSAGE_LOG set, appends "caption|flags|text" and a form feed to that file and
// answers true; tray icon changes are recorded there too, under the caption "tray".
bool recordForTests(const char* caption, unsigned flags, const char* text);

constexpr UINT trayIconId = 101;
constexpr UINT trayMenuId = 103;
constexpr WPARAM trayExitCommand = 40003;
constexpr WPARAM traySetupCommand = 40004;
constexpr UINT WM_TRAYICON = WM_APP + 100;
