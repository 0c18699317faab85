// The time-zone database of this system's registry: the Windows 95/98 key or the Windows NT
// one, as the platform says.
#pragma once

#include "desktop/worldtime/TimeZoneCatalogue.h"
#include "win32/Guards.h"
#include "win32/RegistryValues.h"

#include <string>

class RegistryZoneSource : public ZoneSource {
public:
    // The key under HKEY_LOCAL_MACHINE, for example the string table's entry 117 or 118.
    explicit RegistryZoneSource(std::string databaseKey);

    bool openDatabase() override;
    std::optional<std::string> subkeyName(std::uint32_t index) override;
    bool openZone(const std::string& name) override;
    std::optional<std::string> text(const char* name) override;
    std::optional<std::vector<std::uint8_t>> bytes(const char* name) override;

private:
    std::string databaseKey_;
    RegistryKeyHandle database_;
    RegistryKeyHandle zone_;
};

// "Software\Microsoft\Windows\CurrentVersion\Time Zones" on the Windows 95/98 platform,
// "Software\Microsoft\Windows NT\CurrentVersion\Time Zones" on any other.
std::string timeZoneDatabaseKey(DWORD platformId);
