#include "win32/StatusRegistry.h"

#include "win32/Guards.h"
#include "win32/RegistryValues.h"

#include <string>

UnixSeconds unixNow() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return unixFromFileTime(std::uint64_t{now.dwHighDateTime} << 32 | now.dwLowDateTime);
}

std::optional<StatusRecord> readStatusRegistry() {
    HKEY opened = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, statusKeyPath, 0, KEY_QUERY_VALUE, &opened) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    const RegistryKeyHandle key(opened);
    return readStatusRecord([&key](const char* name) -> std::optional<StoredValue> {
        const std::optional<RegistryValue> value = readRegistryValue(key.get(), name);
        if (!value) {
            return std::nullopt;
        }
        return StoredValue{value->type, std::string(value->data.begin(), value->data.end())};
    });
}

LONG writeStatusRegistry(const StatusRecord& record) {
    HKEY created = nullptr;
    LONG result =
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, statusKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE, nullptr, &created, nullptr);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    const RegistryKeyHandle key(created);
    for (const StatusValue& value : statusValues(record)) {
        if (value.text) {
            result = RegSetValueExA(key.get(), value.name, 0, REG_SZ,
                                    reinterpret_cast<const BYTE*>(value.text->c_str()),
                                    static_cast<DWORD>(value.text->size() + 1));
        } else {
            const DWORD number = value.number;
            result = RegSetValueExA(key.get(), value.name, 0, REG_DWORD,
                                    reinterpret_cast<const BYTE*>(&number), sizeof number);
        }
        if (result != ERROR_SUCCESS) {
            return result;
        }
    }
    return ERROR_SUCCESS;
}
