#include "desktop/worldtime/TimeZoneCatalogue.h"

ZoneRecord TimeZoneCatalogue::zone(std::size_t i) const {
    auto narrow = [](std::uint32_t value) { return static_cast<std::uint16_t>(value); };
    return {static_cast<std::int32_t>(bias[i]),
            static_cast<std::int32_t>(daylightBias[i]),
            {narrow(daylightMonth[i]), narrow(daylightDay[i]), narrow(daylightDayOfWeek[i]),
             narrow(daylightHour[i]), narrow(daylightMinute[i]), narrow(daylightSecond[i])},
            {narrow(standardMonth[i]), narrow(standardDay[i]), narrow(standardDayOfWeek[i]),
             narrow(standardHour[i]), narrow(standardMinute[i]), narrow(standardSecond[i])}};
}

namespace {

std::uint32_t field(const std::vector<std::uint8_t>& record, std::size_t offset) {
    return static_cast<std::uint32_t>(record[offset] | record[offset + 1] << 8);
}

void append(TimeZoneCatalogue& c, const std::vector<std::uint8_t>& record) {
    const auto wide = [&](std::size_t offset) {
        return field(record, offset) | field(record, offset + 2) << 16;
    };
    c.bias.push_back(wide(0));
    c.daylightBias.push_back(wide(8));
    // A SYSTEMTIME: year, month, day of week, day, hour, minute, second, milliseconds.
    struct Target {
        std::vector<std::uint32_t>* array;
        std::size_t offset;
    };
    const Target targets[] = {
        {&c.daylightYear, 28},         {&c.daylightMonth, 30},        {&c.daylightDay, 34},
        {&c.daylightDayOfWeek, 32},    {&c.daylightHour, 36},         {&c.daylightMinute, 38},
        {&c.daylightSecond, 40},       {&c.daylightMilliseconds, 42}, {&c.standardYear, 12},
        {&c.standardMonth, 14},        {&c.standardDay, 18},          {&c.standardDayOfWeek, 16},
        {&c.standardHour, 20},         {&c.standardMinute, 22},       {&c.standardSecond, 24},
        {&c.standardMilliseconds, 26},
    };
    for (const Target& target : targets) {
        target.array->push_back(field(record, target.offset));
    }
}

} // namespace

int loadTimeZones(ZoneSource& source, const std::string& currentStandardName,
                  TimeZoneCatalogue& catalogue) {
    int selected = -1;
    if (!source.openDatabase()) {
        return selected;
    }
    for (std::uint32_t index = 0;; ++index) {
        const auto name = source.subkeyName(index);
        if (!name) {
            break;
        }
        if (!source.openZone(*name)) {
            continue;
        }
        const auto record = source.bytes("TZI");
        if (!record || record->size() < 44) {
            continue;
        }
        const std::string standard = source.text("Std").value_or("");
        if (!currentStandardName.empty() && standard == currentStandardName) {
            selected = static_cast<int>(catalogue.size());
        }
        catalogue.displayNames.push_back(source.text("Display").value_or(""));
        catalogue.standardNames.push_back(standard);
        catalogue.daylightNames.push_back(source.text("Dlt").value_or(""));
        append(catalogue, *record);
    }
    return selected;
}
