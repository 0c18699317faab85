#include "win32/EventSource.h"

#include "win32/Guards.h"

#include <windows.h>

bool registerEventSource(const std::string& messageFile) {
    HKEY created = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, eventSourceKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE, nullptr, &created, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const RegistryKeyHandle key(created);
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    return RegSetValueExA(key.get(), "EventMessageFile", 0, REG_EXPAND_SZ,
                          reinterpret_cast<const BYTE*>(messageFile.c_str()),
                          static_cast<DWORD>(messageFile.size() + 1)) == ERROR_SUCCESS &&
           RegSetValueExA(key.get(), "TypesSupported", 0, REG_DWORD,
                          reinterpret_cast<const BYTE*>(&types), sizeof types) == ERROR_SUCCESS;
}

void removeEventSource() {
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, eventSourceKeyPath);
}
