#include "desktop/admin/win/ServiceControl.h"

#include "desktop/admin/ProgramPaths.h"
#include "desktop/admin/win/SettingsRegistry.h"
#include "win32/EventSource.h"
#include "win32/Guards.h"

#include <shellapi.h>

bool isWindowsNT = true;

namespace {

// A service that takes longer than this to stop is started anyway; the start then says why
// it failed.
constexpr DWORD stopWaitMilliseconds = 30000;
constexpr DWORD stopPollMilliseconds = 250;

ServiceFailure failedCall(const char* call) {
    return {call, GetLastError(), {}};
}

void waitUntilStopped(SC_HANDLE service) {
    const DWORD started = GetTickCount();
    SERVICE_STATUS status{};
    while (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED &&
           GetTickCount() - started < stopWaitMilliseconds) {
        Sleep(stopPollMilliseconds);
    }
}

// Registers Pendra as an automatic service of the local system, and as the source of its
// events, as Pendra -install does.
std::optional<ServiceFailure> installService(SC_HANDLE manager, ServiceHandle& service) {
    const std::string program = pendraPath();
    const std::string path = quotedServicePath(program);
    service.reset(CreateServiceA(manager, "Pendra", "Pendra", SERVICE_ALL_ACCESS,
                                 SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                 SERVICE_ERROR_NORMAL, path.c_str(), nullptr, nullptr, nullptr,
                                 nullptr, nullptr));
    if (!service) {
        return failedCall("CreateService");
    }
    // Without the source the events still reach the log, only without their texts.
    registerEventSource(program);
    return std::nullopt;
}

std::optional<ServiceFailure> restartServiceOnNT(const char* serviceName) {
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        return failedCall("OpenSCManager");
    }
    ServiceHandle service(OpenServiceA(manager.get(), serviceName, SERVICE_ALL_ACCESS));
    if (!service) {
        if (auto failure = installService(manager.get(), service)) {
            return failure;
        }
    }
    SERVICE_STATUS status{};
    if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
        waitUntilStopped(service.get());
    } else if (const DWORD error = GetLastError(); error != ERROR_SERVICE_NOT_ACTIVE) {
        return ServiceFailure{"ControlService", error, {}};
    }
    if (!StartServiceA(service.get(), 0, nullptr)) {
        return failedCall("StartService");
    }
    return std::nullopt;
}

std::optional<ServiceFailure> restartTrayProgram() {
    if (HWND running = FindWindowA("Pendra", nullptr)) {
        if (SendMessageA(running, WM_DESTROY, 0, 0) != 0) {
            return ServiceFailure{{}, 0, "Command Stop!\nApplication not found!"};
        }
    }
    // By its full path: the working directory need not be the installation folder.
    const std::string folder = programFolder();
    const std::string program = folder + "Pendra.exe";
    const HINSTANCE started =
        ShellExecuteA(nullptr, nullptr, program.c_str(), nullptr, folder.c_str(), SW_SHOWNORMAL);
    if (reinterpret_cast<INT_PTR>(started) <= 32) {
        return ServiceFailure{{}, 0, "Command Start!\nApplication not found!"};
    }
    return std::nullopt;
}

} // namespace

std::optional<ServiceFailure> RestartService(const char* serviceName) {
    return isWindowsNT ? restartServiceOnNT(serviceName) : restartTrayProgram();
}
