#include "service/engine/ServiceConfiguration.h"

#include "common/PendraSettings.h"
#include "service/engine/RegistryKey.h"
#include "service/errors/BaseException.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string>

namespace {

using pendra_settings::Reading;
using pendra_settings::Setting;

// SimpleException keeps a pointer to its text: each setting's refusal lives as long as the
// program, made once.
const char* outOfRangeText(const Setting& setting) {
    static const auto texts = [] {
        std::array<std::string, pendra_settings::all.size()> made;
        for (std::size_t i = 0; i < made.size(); ++i) {
            const Setting& each = *pendra_settings::all[i];
            made[i] = std::string(each.name) + " must be a REG_DWORD from " +
                      std::to_string(each.least) + " to " + std::to_string(each.most);
        }
        return made;
    }();
    const auto found = std::ranges::find(pendra_settings::all, &setting);
    return texts[static_cast<std::size_t>(found - pendra_settings::all.begin())].c_str();
}

// An optional value counts only when stored as REG_DWORD of at most four bytes; anything else
// keeps the default, and a longer one must not stop the service. A strict one that is there
// must be right: a typing error should not pass as the default without a word.
std::optional<std::uint32_t> optionalNumber(const RegistryKey& key, const Setting& setting) {
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    if (!key.queryValueInfo(setting.name, type, size)) {
        return std::nullopt;
    }
    const bool dword = type == registry_type::dword;
    if (setting.reading != Reading::strict) {
        return dword && size <= 4 ? std::optional(key.readDword(setting.name)) : std::nullopt;
    }
    if (!dword || size != 4) {
        throw SimpleException(outOfRangeText(setting));
    }
    const std::uint32_t value = key.readDword(setting.name);
    if (value < setting.least || value > setting.most) {
        throw SimpleException(outOfRangeText(setting));
    }
    return value;
}

} // namespace

void readServiceConfiguration(ServiceConfiguration& config) {
    namespace values = pendra_settings;
    config.logDirectory.reset();
    config.writeLogEntries = false;
    config.serverPort = static_cast<std::uint16_t>(values::ntpServerPort.absent);
    config.maxAdjustSeconds = values::maxAdjustSeconds.absent;
    config.samples = values::ntpSamples.absent;
    config.maxSlewMilliseconds = values::maxSlewMilliseconds.absent;

    // Declared in opening order, so they close in reverse, also while an exception passes.
    const LocalMachineKey machine;
    const RegistrySubKey vendor(machine, "Software\\Tarnwick");
    const RegistrySubKey client(vendor, "NTP Client");

    const bool writeLogEntries = client.readDword(values::writeLogEntries.name) != 0;
    if (writeLogEntries)
        config.logDirectory = client.readExpandString(values::logDirectory.name);
    // Set only now: without a directory the log has nowhere to go.
    config.writeLogEntries = writeLogEntries;

    config.waitForRas = client.readDword(values::waitForRas.name) != 0;
    if (config.waitForRas)
        config.rasPollMilliseconds = client.readDword(values::rasPollMilliseconds.name);

    config.runOnce = client.readDword(values::runOnce.name) != 0;
    config.serverName = client.readString(values::ntpServerName.name);
    config.ntpPollMilliseconds = client.readDword(values::ntpPollMilliseconds.name);

    // The port keeps its low 16 bits, as it always did: the range is the package's to enforce.
    if (const auto port = optionalNumber(client, values::ntpServerPort))
        config.serverPort = static_cast<std::uint16_t>(*port & 0xFFFFu);
    if (const auto limit = optionalNumber(client, values::maxAdjustSeconds))
        config.maxAdjustSeconds = *limit;
    if (const auto count = optionalNumber(client, values::logFileCount))
        config.logFileCount = *count;
    if (const auto samples = optionalNumber(client, values::ntpSamples))
        config.samples = *samples;
    if (const auto slew = optionalNumber(client, values::maxSlewMilliseconds))
        config.maxSlewMilliseconds = *slew;
}
