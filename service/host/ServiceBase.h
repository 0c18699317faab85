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
    std::unique_ptr<Logger> baseLogger;
};

// The process's one service object; the system calls the service entry points and the tray
// window procedure without a context.
extern ServiceBase* theService;

// Shell_NotifyIconA for the tray icon (resource iconId of instance); a missing tip shows
// "Pendra active", a longer one is cut to 127 characters.
BOOL setTrayIcon(HWND window, DWORD message, UINT iconId, HINSTANCE instance, const char* tip);

constexpr UINT trayIconId = 101;
constexpr UINT WM_TRAYICON = WM_USER + 1;
