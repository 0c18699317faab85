#include "service/engine/ServiceConfiguration.h"

#include "common/PendraSettings.h"
#include "service/engine/RegistryKey.h"
#include "service/errors/BaseException.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <memory>
#include <optional>
#include <string>
#include <utility>

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

bool isFullPath(const std::string& path) {
    return (path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) &&
            path[1] == ':' && (path[2] == '\\' || path[2] == '/')) ||
           path.starts_with("\\\\");
}

// A file's path as text where it stands; an empty one, as an absent one, names none. Optional
// like the numbers: another type, or a path that names no drive or share, is set aside and
// `ignored` says why (ending with `without`, what the service does instead), since the file
// would be looked for wherever the service happens to run.
void readFile(const RegistryKey& key, const Setting& setting, const char* without,
              std::optional<std::string>& file, std::string& ignored) {
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    if (!key.queryValueInfo(setting.name, type, size)) {
        return;
    }
    if (type != registry_type::string && type != registry_type::expandString) {
        ignored = std::string(setting.name) + " is no text: " + without;
        return;
    }
    std::string path = key.readExpandString(setting.name);
    if (!path.empty() && !isFullPath(path)) {
        ignored = std::string(setting.name) + " " + path + " is no full path: " + without;
    } else if (!path.empty()) {
        file = std::move(path);
    }
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
    config.metricsFile.reset();
    config.metricsFileIgnored.clear();
    config.useNts = values::useNts.absent != 0;
    config.ntsTrustedCertificates.reset();
    config.ntsTrustedCertificatesIgnored.clear();
    config.fromPolicy.clear();

    // Declared in opening order, so they close in reverse, also while an exception passes.
    const LocalMachineKey machine;
    const RegistrySubKey vendor(machine, "Software\\Tarnwick");
    const RegistrySubKey client(vendor, "NTP Client");
    std::unique_ptr<RegistrySubKey> policy;
    try {
        // Group Policy's values, with the same names and types, override the settings key's.
        policy = std::make_unique<RegistrySubKey>(machine, values::policyKey);
    } catch (const SimpleException&) {
        // No policy: the local settings alone.
    }
    // Each value from the policy key where it stands there, read by the same rules.
    const auto from = [&](const Setting& setting) -> const RegistryKey& {
        std::uint32_t type = 0;
        std::uint32_t size = 0;
        if (policy && policy->queryValueInfo(setting.name, type, size)) {
            if (std::ranges::find(config.fromPolicy, setting.name) == config.fromPolicy.end()) {
                config.fromPolicy.emplace_back(setting.name);
            }
            return *policy;
        }
        return client;
    };

    const bool writeLogEntries =
        from(values::writeLogEntries).readDword(values::writeLogEntries.name) != 0;
    if (writeLogEntries)
        config.logDirectory =
            from(values::logDirectory).readExpandString(values::logDirectory.name);
    // Set only now: without a directory the log has nowhere to go.
    config.writeLogEntries = writeLogEntries;

    config.waitForRas = from(values::waitForRas).readDword(values::waitForRas.name) != 0;
    if (config.waitForRas)
        config.rasPollMilliseconds =
            from(values::rasPollMilliseconds).readDword(values::rasPollMilliseconds.name);

    config.runOnce = from(values::runOnce).readDword(values::runOnce.name) != 0;
    config.serverName = from(values::ntpServerName).readString(values::ntpServerName.name);
    config.ntpPollMilliseconds =
        from(values::ntpPollMilliseconds).readDword(values::ntpPollMilliseconds.name);

    // The port keeps its low 16 bits, as it always did: the range is the package's to enforce.
    if (const auto port = optionalNumber(from(values::ntpServerPort), values::ntpServerPort))
        config.serverPort = static_cast<std::uint16_t>(*port & 0xFFFFu);
    if (const auto limit = optionalNumber(from(values::maxAdjustSeconds), values::maxAdjustSeconds))
        config.maxAdjustSeconds = *limit;
    if (const auto count = optionalNumber(from(values::logFileCount), values::logFileCount))
        config.logFileCount = *count;
    if (const auto samples = optionalNumber(from(values::ntpSamples), values::ntpSamples))
        config.samples = *samples;
    if (const auto slew =
            optionalNumber(from(values::maxSlewMilliseconds), values::maxSlewMilliseconds))
        config.maxSlewMilliseconds = *slew;
    readFile(from(values::metricsFile), values::metricsFile, "no metrics are written",
             config.metricsFile, config.metricsFileIgnored);
    if (const auto nts = optionalNumber(from(values::useNts), values::useNts))
        config.useNts = *nts != 0;
    readFile(from(values::ntsTrustedCertificates), values::ntsTrustedCertificates,
             "only the machine's trusted roots are used", config.ntsTrustedCertificates,
             config.ntsTrustedCertificatesIgnored);
}

void readQueryConfiguration(ServiceConfiguration& config) {
    namespace values = pendra_settings;
    config.serverPort = static_cast<std::uint16_t>(values::ntpServerPort.absent);
    config.useNts = values::useNts.absent != 0;
    config.ntsTrustedCertificates.reset();
    config.ntsTrustedCertificatesIgnored.clear();

    const LocalMachineKey machine;
    const auto open = [&machine](const char* path) -> std::unique_ptr<RegistrySubKey> {
        try {
            return std::make_unique<RegistrySubKey>(machine, path);
        } catch (const SimpleException&) {
            return nullptr;
        }
    };
    const std::unique_ptr<RegistrySubKey> client = open("Software\\Tarnwick\\NTP Client");
    const std::unique_ptr<RegistrySubKey> policy = open(values::policyKey);
    if (!client && !policy) {
        return;
    }
    const auto from = [&](const Setting& setting) -> const RegistryKey& {
        std::uint32_t type = 0;
        std::uint32_t size = 0;
        return !client || (policy && policy->queryValueInfo(setting.name, type, size))
                   ? static_cast<const RegistryKey&>(*policy)
                   : static_cast<const RegistryKey&>(*client);
    };
    if (const auto port = optionalNumber(from(values::ntpServerPort), values::ntpServerPort))
        config.serverPort = static_cast<std::uint16_t>(*port & 0xFFFFu);
    if (const auto nts = optionalNumber(from(values::useNts), values::useNts))
        config.useNts = *nts != 0;
    readFile(from(values::ntsTrustedCertificates), values::ntsTrustedCertificates,
             "only the machine's trusted roots are used", config.ntsTrustedCertificates,
             config.ntsTrustedCertificatesIgnored);
}

std::vector<std::string> changedSettings(const ServiceConfiguration& before,
                                         const ServiceConfiguration& after) {
    namespace values = pendra_settings;
    const std::pair<const Setting*, bool> compared[] = {
        {&values::ntpServerName, before.serverName != after.serverName},
        {&values::ntpPollMilliseconds, before.ntpPollMilliseconds != after.ntpPollMilliseconds},
        {&values::runOnce, before.runOnce != after.runOnce},
        {&values::maxAdjustSeconds, before.maxAdjustSeconds != after.maxAdjustSeconds},
        {&values::writeLogEntries, before.writeLogEntries != after.writeLogEntries},
        {&values::logDirectory, before.logDirectory != after.logDirectory},
        {&values::waitForRas, before.waitForRas != after.waitForRas},
        {&values::rasPollMilliseconds, before.waitForRas && after.waitForRas &&
                                           before.rasPollMilliseconds != after.rasPollMilliseconds},
        {&values::logFileCount, before.logFileCount != after.logFileCount},
        {&values::ntpServerPort, before.serverPort != after.serverPort},
        {&values::ntpSamples, before.samples != after.samples},
        {&values::maxSlewMilliseconds, before.maxSlewMilliseconds != after.maxSlewMilliseconds},
        {&values::metricsFile, before.metricsFile != after.metricsFile ||
                                   before.metricsFileIgnored != after.metricsFileIgnored},
        {&values::useNts, before.useNts != after.useNts},
        {&values::ntsTrustedCertificates,
         before.ntsTrustedCertificates != after.ntsTrustedCertificates ||
             before.ntsTrustedCertificatesIgnored != after.ntsTrustedCertificatesIgnored},
    };
    std::vector<std::string> names;
    for (const auto& [setting, changed] : compared) {
        if (changed) {
            names.emplace_back(setting->name);
        }
    }
    return names;
}
