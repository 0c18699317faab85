#include "service/host/ServiceBase.h"

#include <shellapi.h>

#include <cstring>

ServiceBase* theService = nullptr;

namespace {
bool runningOnWindowsNT() {
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    return GetVersionExA(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT;
}
} // namespace

ServiceBase::ServiceBase(HINSTANCE instanceHandle, const char* name, DWORD controlsAccepted)
    : serviceName(name), isWindowsNT(runningOnWindowsNT()), instance(instanceHandle) {
    theService = this;
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = SERVICE_STOPPED;
    status.dwControlsAccepted = controlsAccepted;
}

ServiceBase::~ServiceBase() {
    if (theService == this) {
        theService = nullptr;
    }
}

Logger& ServiceBase::log() {
    if (!baseLogger) {
        baseLogger = std::make_unique<Logger>();
    }
    return *baseLogger;
}

void ServiceBase::setStatus(DWORD state) {
    CriticalSectionLock lock(statusLock);
    if (stoppedReported) {
        return; // nothing may follow the stopped report
    }
    status.dwCurrentState = state;
    if (!isWindowsNT) {
        return;
    }
    if (state == SERVICE_STOPPED) {
        stoppedReported = true;
        if (status.dwServiceSpecificExitCode == 0) {
            status.dwServiceSpecificExitCode = 1;
        }
    }
    SetServiceStatus(statusHandle, &status);
}

bool ServiceBase::startUp() {
    setStatus(SERVICE_START_PENDING);
    const bool initialized = initialize();
    status.dwWin32ExitCode = GetLastError();
    status.dwCheckPoint = 0;
    status.dwWaitHint = 0;
    setStatus(initialized ? SERVICE_RUNNING : SERVICE_STOPPED);
    return initialized;
}

void WINAPI ServiceBase::serviceMain(DWORD, LPSTR*) {
    ServiceBase* service = theService;
    service->status.dwCurrentState = SERVICE_START_PENDING;
    service->statusHandle =
        RegisterServiceCtrlHandlerA(service->serviceName, &ServiceBase::controlHandler);
    if (service->statusHandle == nullptr) {
        return;
    }
    if (service->startUp()) {
        service->status.dwWin32ExitCode = 0;
        service->status.dwCheckPoint = 0;
        service->status.dwWaitHint = 0;
        service->run();
    }
    service->setStatus(SERVICE_STOPPED);
}

void WINAPI ServiceBase::controlHandler(DWORD control) {
    ServiceBase* service = theService;
    switch (control) {
    case SERVICE_CONTROL_STOP:
        service->setStatus(SERVICE_STOP_PENDING);
        service->stop();
        break;
    case SERVICE_CONTROL_PAUSE:
        service->pause();
        break;
    case SERVICE_CONTROL_CONTINUE:
        service->resume();
        break;
    case SERVICE_CONTROL_INTERROGATE:
        service->interrogate();
        break;
    case SERVICE_CONTROL_SHUTDOWN:
        service->shutdown();
        break;
    default:
        service->userControl(control);
        break;
    }
    // The state is read under the lock, so a stopped report in between is never followed.
    DWORD current;
    {
        CriticalSectionLock lock(service->statusLock);
        current = service->status.dwCurrentState;
    }
    service->setStatus(current);
}

void ServiceBase::showTrayTip(const char* text) {
    if (!isWindowsNT) {
        setTrayIcon(trayWindow, NIM_MODIFY, trayIconId, instance, text);
    }
}

BOOL setTrayIcon(HWND window, DWORD message, UINT iconId, HINSTANCE instance, const char* tip) {
    HICON icon = instance != nullptr ? LoadIconA(instance, MAKEINTRESOURCEA(iconId)) : nullptr;
    NOTIFYICONDATAA data{};
    data.cbSize = NOTIFYICONDATAA_V1_SIZE;
    data.hWnd = window;
    data.uID = 0;
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = WM_TRAYICON;
    data.hIcon = icon;
    lstrcpynA(data.szTip, tip != nullptr ? tip : "Pendra active", 128);
    // LoadIconA gives a shared icon: it is not destroyed.
    return Shell_NotifyIconA(message, &data);
}
