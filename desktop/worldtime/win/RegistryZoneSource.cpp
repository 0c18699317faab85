#include "desktop/worldtime/win/RegistryZoneSource.h"

RegistryZoneSource::RegistryZoneSource(std::string databaseKey)
    : databaseKey_(std::move(databaseKey)) {}

bool RegistryZoneSource::openDatabase() {
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, databaseKey_.c_str(), 0, KEY_READ, database_.out()) ==
           ERROR_SUCCESS;
}

std::optional<std::string> RegistryZoneSource::subkeyName(std::uint32_t index) {
    // A name that does not fit ends the enumeration, like any other error.
    char name[260];
    DWORD length = sizeof name;
    if (RegEnumKeyExA(database_.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    return std::string(name, length);
}

bool RegistryZoneSource::openZone(const std::string& name) {
    const std::string path = databaseKey_ + "\\" + name;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, zone_.out()) ==
           ERROR_SUCCESS;
}

std::optional<std::string> RegistryZoneSource::text(const char* name) {
    auto value = readRegistryText(zone_.get(), name);
    return value ? std::optional<std::string>(value->text) : std::nullopt;
}

std::optional<std::vector<std::uint8_t>> RegistryZoneSource::bytes(const char* name) {
    auto value = readRegistryValue(zone_.get(), name);
    return value ? std::optional<std::vector<std::uint8_t>>(std::move(value->data)) : std::nullopt;
}

std::string timeZoneDatabaseKey(DWORD platformId) {
    return platformId == VER_PLATFORM_WIN32_WINDOWS
               ? "Software\\Microsoft\\Windows\\CurrentVersion\\Time Zones"
               : "Software\\Microsoft\\Windows NT\\CurrentVersion\\Time Zones";
}
