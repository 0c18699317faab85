#include "service/host/win/ServiceBase.h"

#include "service/host/StartupCommand.h"
#include "win32/EventSource.h"
#include "win32/ModulePath.h"

#include <shellapi.h>

#include <cstddef>
#include <cstring>
#include <string>

ServiceBase* theService = nullptr;

namespace {
bool runningOnWindowsNT() {
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    return GetVersionExA(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

class ServiceControlManagerReporter : public StatusReporter {
public:
    void report(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS& status) override {
        SERVICE_STATUS copy = status;
        SetServiceStatus(handle, &copy);
    }
};

ServiceControlManagerReporter serviceControlManager;
} // namespace

ServiceBase::ServiceBase(HINSTANCE instanceHandle, const char* name, DWORD controlsAccepted)
    : serviceName(name), isWindowsNT(runningOnWindowsNT()), instance(instanceHandle),
      statusReporter(&serviceControlManager) {
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
    SERVICE_STATUS report;
    {
        CriticalSectionLock lock(statusLock);
        if (stoppedReported) {
            return; // nothing may follow the stopped report
        }
        status.dwCurrentState = state;
        if (!isWindowsNT) {
            return;
        }
        if (state == SERVICE_STOPPED) {
            // Marked before it is reported: from now on the control thread reports nothing.
            stoppedReported = true;
            if (status.dwServiceSpecificExitCode == 0) {
                status.dwServiceSpecificExitCode = 1;
            }
        }
        report = status;
    }
    // Outside the lock: the system may hold its own lock while the control handler runs, and
    // the handler may be waiting for statusLock.
    statusReporter->report(statusHandle, report);
}

void ServiceBase::reportFromControlThread(const DWORD* state) {
    CriticalSectionLock lock(statusLock);
    if (stoppedReported) {
        return;
    }
    if (state != nullptr) {
        status.dwCurrentState = *state;
    }
    if (isWindowsNT) {
        // Under the lock, so the service thread cannot report the stopped state meanwhile.
        statusReporter->report(statusHandle, status);
    }
}

bool ServiceBase::startUp() {
    setStatus(SERVICE_START_PENDING);
    const bool initialized = initialize();
    const DWORD error = GetLastError();
    {
        CriticalSectionLock lock(statusLock);
        status.dwWin32ExitCode = error;
        status.dwCheckPoint = 0;
        status.dwWaitHint = 0;
    }
    setStatus(initialized ? SERVICE_RUNNING : SERVICE_STOPPED);
    return initialized;
}

void ServiceBase::runAsService() {
    if (startUp()) {
        {
            CriticalSectionLock lock(statusLock);
            status.dwWin32ExitCode = 0;
            status.dwCheckPoint = 0;
            status.dwWaitHint = 0;
        }
        run();
    }
    setStatus(SERVICE_STOPPED);
}

void WINAPI ServiceBase::serviceMain(DWORD, LPSTR*) {
    ServiceBase* service = theService;
    service->status.dwCurrentState = SERVICE_START_PENDING;
    service->statusHandle =
        RegisterServiceCtrlHandlerA(service->serviceName, &ServiceBase::controlHandler);
    if (service->statusHandle == nullptr) {
        return;
    }
    service->runAsService();
}

void WINAPI ServiceBase::controlHandler(DWORD control) {
    ServiceBase* service = theService;
    switch (control) {
    case SERVICE_CONTROL_STOP: {
        const DWORD pending = SERVICE_STOP_PENDING;
        service->reportFromControlThread(&pending);
        service->stop();
        break;
    }
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
    // Every control is answered with the state held now, unless the stopped state came first.
    service->reportFromControlThread(nullptr);
}

void ServiceBase::showTrayTip(const char* text) {
    if (!isWindowsNT) {
        setTrayIcon(trayWindow, NIM_MODIFY, trayIconId, instance, text);
    }
}

BOOL setTrayIcon(HWND window, DWORD message, UINT iconId, HINSTANCE instance, const char* tip) {
    HICON icon = instance != nullptr
                     ? static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(iconId), IMAGE_ICON,
                                                     16, 16, LR_DEFAULTCOLOR))
                     : nullptr;
    NOTIFYICONDATAA data{};
    // The shell accepts only the record sizes it knows; the smallest with the 128-character
    // tip is the second version's (its further fields stay zero).
    data.cbSize = NOTIFYICONDATAA_V2_SIZE;
    data.hWnd = window;
    data.uID = 0;
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = WM_TRAYICON;
    data.hIcon = icon;
    lstrcpynA(data.szTip, tip != nullptr ? tip : "Pendra active", 128);
    recordForTests("tray", message, data.szTip);
    const BOOL result = Shell_NotifyIconA(message, &data);
    if (icon != nullptr) {
        DestroyIcon(icon); // the shell keeps its own copy
    }
    return result;
}

bool ServiceBase::isInstalled(const char* name) {
    if (!isWindowsNT) {
        return true;
    }
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        return false;
    }
    ServiceHandle service(
        OpenServiceA(manager.get(), name != nullptr ? name : serviceName, SERVICE_QUERY_CONFIG));
    return static_cast<bool>(service);
}

bool ServiceBase::install(DWORD startType) {
    if (!isWindowsNT) {
        return true;
    }
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        return false;
    }
    const std::string imagePath = serviceImagePath(modulePath());
    ServiceHandle created(CreateServiceA(manager.get(), serviceName, serviceName,
                                         SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, startType,
                                         SERVICE_ERROR_NORMAL, imagePath.c_str(), nullptr, nullptr,
                                         dependencies(), nullptr, nullptr));
    if (!created) {
        return false;
    }
    // Without the source the events still reach the log, only without their texts.
    registerEventSource(modulePath());
    return true;
}

bool ServiceBase::uninstall() {
    if (!isWindowsNT) {
        return true;
    }
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        return false;
    }
    ServiceHandle service(OpenServiceA(manager.get(), serviceName, DELETE));
    if (!service || !DeleteService(service.get())) {
        return false;
    }
    removeEventSource();
    return true;
}

bool ServiceBase::start() {
    if (!isWindowsNT) {
        return runTrayMode();
    }
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(serviceName), &ServiceBase::serviceMain},
                                    {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) != FALSE;
}
