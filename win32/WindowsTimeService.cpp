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
    RegistryKeyHandle key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                      "SYSTEM\\CurrentControlSet\\Services\\W32Time\\Parameters", 0,
                      KEY_QUERY_VALUE, key.out()) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    const auto type = readRegistryText(key.get(), "Type");
    if (!type || type->text.empty() || lstrcmpiA(type->text.c_str(), "NoSync") == 0) {
        return std::nullopt;
    }
    return type->text;
}
