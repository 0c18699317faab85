#include "service/engine/RegistryKey.h"

RegistryHandle registryRoot(PredefinedRoot root) {
    switch (root) {
    case PredefinedRoot::classesRoot:
        return HKEY_CLASSES_ROOT;
    case PredefinedRoot::currentUser:
        return HKEY_CURRENT_USER;
    case PredefinedRoot::localMachine:
        return HKEY_LOCAL_MACHINE;
    case PredefinedRoot::users:
        return HKEY_USERS;
    }
    return HKEY_LOCAL_MACHINE;
}

long registryOpenKey(RegistryHandle parent, const char* subKey, RegistryHandle* opened) {
    HKEY key = nullptr;
    const LONG result = RegOpenKeyExA(parent, subKey, 0, KEY_READ, &key);
    *opened = result == ERROR_SUCCESS ? key : nullptr;
    return result;
}

long registryQueryValue(RegistryHandle key, const char* name, std::uint32_t* type,
                        std::uint8_t* data, std::uint32_t* size) {
    // DWORD is unsigned long here, not the uint32_t of the portable interface.
    DWORD valueType = 0;
    DWORD valueSize = size != nullptr ? *size : 0;
    const LONG result = RegQueryValueExA(key, name, nullptr, type != nullptr ? &valueType : nullptr,
                                         data, size != nullptr ? &valueSize : nullptr);
    if (type != nullptr)
        *type = valueType;
    if (size != nullptr)
        *size = valueSize;
    return result;
}

void registryCloseKey(RegistryHandle key) {
    RegCloseKey(key);
}

std::uint32_t expandEnvironmentStrings(const char* source, char* destination, std::uint32_t size) {
    return ExpandEnvironmentStringsA(source, destination, size);
}
