// The one service object of the process: what the service control manager needs, and the
// virtual operations through which the host drives the synchronisation engine.
//
// Threads. As a service: the control thread (the dispatcher, in start) runs controlHandler and
// with it stop and shutdown; the service thread runs serviceMain, initialize and the loop. In
// tray mode: the main thread runs the window and its message loop; the worker thread runs
// initialize and the loop.
//
// Locks:
// - statusLock guards status and stoppedReported. The control thread reports while holding it;
//   the service thread records under it and reports after leaving it, because the system may
//   hold its own lock around the control handler. The stopped state is marked under the lock
//   before it is reported, so no report of the control thread can follow it. No other lock is
//   taken while it is held.
// - loopLock (SyncService) is held by run for the whole loop; stop and shutdown take it only to
//   wait for the loop's end.
// - the logger's lock (SyncService) guards the creation of the logger and the settings it is
//   made from; the LogFile's own lock makes each line one write. Both are taken inside loopLock
//   when the loop writes a line, never the other way round.
// Without locks: the stop flag, the abandon flag (SyncService) and trayWindow are atomics.
//
// Stop of the service: STOP_PENDING is reported; stop sets the stop flag and event and waits
// for the loop; the state is reported again unless the stopped state came first; the service
// thread leaves run and reports STOPPED last. Shutdown is the same without STOP_PENDING.
// End of tray mode (WM_DESTROY): the icon goes and the message loop ends; the window is
// destroyed at once, so that a new instance can start; the worker is told to abandon its
// exchange and is waited for (bounded); stop then writes its line after the loop's last one.
// Should the worker be stuck in a name lookup, the process ends without tearing the service
// object down under it.
#pragma once

#include "service/host/Logger.h"
#include "win32/Guards.h"

#include <windows.h>

#include <atomic>
#include <memory>

// Where the service's state reports go: the service control manager, or a test's recorder.
class StatusReporter {
public:
    virtual ~StatusReporter() = default;
    virtual void report(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS& status) = 0;
};

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
    // Ends the loop as soon as it can, an exchange in progress included, without waiting.
    virtual void abandon() {}

    // The service thread's report: records a state and, on Windows NT, reports it after
    // leaving statusLock; the stopped state is reported once and nothing after it.
    void setStatus(DWORD state);
    bool startUp();
    // What serviceMain does once the control handler is registered: start, run, stopped.
    void runAsService();
    static void WINAPI serviceMain(DWORD argc, LPSTR* argv);
    static void WINAPI controlHandler(DWORD control);
    // The reports go here instead of SetServiceStatus (tests only).
    void setStatusReporter(StatusReporter* reporter) { statusReporter = reporter; }

    // Shows a text as the tip of the tray icon; only in tray mode.
    void showTrayTip(const char* text);

    // Whether a service of that name exists (none: this one); always true off Windows NT.
    bool isInstalled(const char* name = nullptr);
    bool install(DWORD startType);
    bool uninstall();
    // Service mode on Windows NT, tray mode elsewhere; false when it could not run.
    bool start();

    // Written by the main thread, read by the worker for its tips and its closing message.
    std::atomic<HWND> trayWindow{nullptr};
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
    // The control thread's report: under statusLock, of the given state or, with none, of the
    // state held at that moment.
    void reportFromControlThread(const DWORD* state);

    std::unique_ptr<Logger> baseLogger;
    StatusReporter* statusReporter;
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

// A test hook, off unless the environment asks for it. With PENDRA_MESSAGE_LOG set, appends
// "caption|flags|text" and a form feed to that file and answers true; tray icon changes are
// recorded there too, under the caption "tray".
bool recordForTests(const char* caption, unsigned flags, const char* text);

constexpr UINT trayIconId = 101;
constexpr UINT trayMenuId = 103;
constexpr WPARAM trayExitCommand = 40003;
constexpr WPARAM traySetupCommand = 40004;
constexpr UINT WM_TRAYICON = WM_APP + 100;
