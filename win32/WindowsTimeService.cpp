#include "win32/WindowsTimeService.h"

#include "win32/Guards.h"
#include "win32/RegistryValues.h"

#include <windows.h>

std::optional<std::string> windowsTimeServiceSynchronising() {
    const ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    const ServiceHandle service(
        manager ? OpenServiceA(manager.get(), "W32Time", SERVICE_QUERY_STATUS) : nullptr);
    SERVICE_STATUS state{};
    if (!service || !QueryServiceStatus(service.get(), &state) ||
        state.dwCurrentState != SERVICE_RUNNING) {
        return std::nullopt;
    }
    // Its Group Policy ("Configure Windows NTP Client") overrides the local Type.
    for (const char* path : {"SOFTWARE\\Policies\\Microsoft\\W32Time\\Parameters",
                             "SYSTEM\\CurrentControlSet\\Services\\W32Time\\Parameters"}) {
        RegistryKeyHandle key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, key.out()) !=
            ERROR_SUCCESS) {
            continue;
        }
        if (const auto type = readRegistryText(key.get(), "Type"); type && !type->text.empty()) {
            if (lstrcmpiA(type->text.c_str(), "NoSync") == 0) {
                return std::nullopt;
            }
            return type->text;
        }
    }
    return std::nullopt;
}
