// The zones that Windows knows, read once from the registry's time-zone database into parallel
// arrays: element i of every array belongs to the zone at position i of the zone list.
// Portable: the registry is reached through ZoneSource.
#pragma once

#include "desktop/worldtime/ZoneTime.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct TimeZoneCatalogue {
    std::vector<std::string> displayNames;
    std::vector<std::string> standardNames;
    std::vector<std::string> daylightNames;
    // The 32-bit biases as stored; the 16-bit date fields widened.
    std::vector<std::uint32_t> bias;
    std::vector<std::uint32_t> daylightBias;
    std::vector<std::uint32_t> daylightYear, daylightMonth, daylightDay, daylightDayOfWeek,
        daylightHour, daylightMinute, daylightSecond, daylightMilliseconds;
    std::vector<std::uint32_t> standardYear, standardMonth, standardDay, standardDayOfWeek,
        standardHour, standardMinute, standardSecond, standardMilliseconds;

    std::size_t size() const { return displayNames.size(); }
    // The record of the zone at a position (which must exist).
    ZoneRecord zone(std::size_t position) const;
};

// The registry's time-zone database.
class ZoneSource {
public:
    virtual ~ZoneSource() = default;
    virtual bool openDatabase() = 0;
    // The name of the subkey at an index; none at the end or on any error.
    virtual std::optional<std::string> subkeyName(std::uint32_t index) = 0;
    virtual bool openZone(const std::string& name) = 0;
    // A value of the zone opened last: a text stored as REG_SZ or REG_EXPAND_SZ, unexpanded.
    virtual std::optional<std::string> text(const char* name) = 0;
    // A value of any type, as bytes.
    virtual std::optional<std::vector<std::uint8_t>> bytes(const char* name) = 0;
};

// Appends every zone of the database whose subkey opens and whose "TZI" is a whole record (a
// zone without one could only be shown at a wrong time); a missing name text is empty. Returns
// the position of the last zone whose standard name is currentStandardName, or -1.
int loadTimeZones(ZoneSource& source, const std::string& currentStandardName,
                  TimeZoneCatalogue& catalogue);
