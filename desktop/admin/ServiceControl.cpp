#include "desktop/admin/ServiceControl.h"

#include "desktop/admin/ProgramPaths.h"
#include "desktop/admin/SettingsRegistry.h"
#include "desktop/framework/WinApp.h"
#include "win32/Guards.h"

#include <shellapi.h>

bool isWindowsNT = true;

namespace {

// A service that takes longer than this to stop is started anyway; the start then says why
// it failed.
constexpr DWORD stopWaitMilliseconds = 30000;
constexpr DWORD stopPollMilliseconds = 250;

void reportFailure(const char* call, DWORD error) {
    ShowSystemError(ownerWindow(), call, error);
}

void waitUntilStopped(SC_HANDLE service) {
    const DWORD started = GetTickCount();
    SERVICE_STATUS status{};
    while (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED &&
           GetTickCount() - started < stopWaitMilliseconds) {
        Sleep(stopPollMilliseconds);
    }
}

void restartServiceOnNT(const char* serviceName) {
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        reportFailure("OpenSCManager", GetLastError());
        return;
    }
    ServiceHandle existing(OpenServiceA(manager.get(), serviceName, SERVICE_ALL_ACCESS));
    ServiceHandle installed(existing ? nullptr : InstallService());
    const SC_HANDLE service = existing ? existing.get() : installed.get();
    if (service == nullptr) {
        return; // InstallService has said why
    }
    SERVICE_STATUS status{};
    if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        waitUntilStopped(service);
    } else if (const DWORD error = GetLastError(); error != ERROR_SERVICE_NOT_ACTIVE) {
        reportFailure("ControlService", error);
        return;
    }
    if (!StartServiceA(service, 0, nullptr)) {
        reportFailure("StartService", GetLastError());
    }
}

void restartTrayProgram() {
    if (HWND running = FindWindowA("Pendra", nullptr)) {
        if (SendMessageA(running, WM_DESTROY, 0, 0) != 0) {
            applicationMessageBox(ownerWindow(), "Command Stop!\nApplication not found!", "Pendra",
                                  MB_ICONWARNING);
            return;
        }
    }
    // By its full path: the working directory need not be the installation folder.
    const std::string folder = programFolder();
    const std::string program = folder + "Pendra.exe";
    const HINSTANCE started =
        ShellExecuteA(nullptr, nullptr, program.c_str(), nullptr, folder.c_str(), SW_SHOWNORMAL);
    if (reinterpret_cast<INT_PTR>(started) <= 32) {
        applicationMessageBox(ownerWindow(), "Command Start!\nApplication not found!", "Pendra",
                              MB_ICONWARNING);
    }
}

} // namespace

void RestartService(const char* serviceName) {
    if (isWindowsNT) {
        restartServiceOnNT(serviceName);
    } else {
        restartTrayProgram();
    }
}

SC_HANDLE InstallService() {
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        reportFailure("OpenSCManager", GetLastError());
        return nullptr;
    }
    const std::string path = quotedServicePath(pendraPath());
    SC_HANDLE service =
        CreateServiceA(manager.get(), "Pendra", "Pendra", SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                       path.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (service == nullptr) {
        reportFailure("CreateService", GetLastError());
    }
    return service;
}
