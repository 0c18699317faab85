#include "service/engine/ServiceConfiguration.h"

#include "service/engine/RegistryKey.h"
#include "service/host/BaseException.h"

namespace {

// The optional values count only when stored as REG_DWORD of at most four bytes; anything
// else keeps the default, and a longer one must not stop the service.
bool hasDword(const RegistryKey& key, const char* name) {
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    return key.queryValueInfo(name, type, size) && type == registry_type::dword && size <= 4;
}

} // namespace

void readServiceConfiguration(ServiceConfiguration& config) {
    config.logDirectory.reset();
    config.writeLogEntries = false;
    config.serverPort = 123;
    config.maxAdjustSeconds = 0;
    config.samples = 1;

    // Declared in opening order, so they close in reverse, also while an exception passes.
    const LocalMachineKey machine;
    const RegistrySubKey vendor(machine, "Software\\Tarnwick");
    const RegistrySubKey client(vendor, "NTP Client");

    const bool writeLogEntries = client.readDword("WriteLogEntries") != 0;
    if (writeLogEntries)
        config.logDirectory = client.readExpandString("LogDirectory");
    // Set only now: without a directory the log has nowhere to go.
    config.writeLogEntries = writeLogEntries;

    config.waitForRas = client.readDword("WaitForRAS") != 0;
    if (config.waitForRas)
        config.rasPollMilliseconds = client.readDword("RASPollMilliseconds");

    config.runOnce = client.readDword("RunOnce") != 0;
    config.serverName = client.readString("NTPServerName");
    config.ntpPollMilliseconds = client.readDword("NTPPollMilliseconds");

    if (hasDword(client, "NTPServerPort"))
        config.serverPort = static_cast<std::uint16_t>(client.readDword("NTPServerPort") & 0xFFFFu);
    if (hasDword(client, "MaxAdjustSeconds"))
        config.maxAdjustSeconds = client.readDword("MaxAdjustSeconds");
    if (hasDword(client, "LogFileCount"))
        config.logFileCount = client.readDword("LogFileCount");

    // Optional, but a value that is there must be right: a typing error should not pass as one
    // sample without a word.
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    if (client.queryValueInfo("NTPSamples", type, size)) {
        const std::uint32_t samples =
            type == registry_type::dword && size == 4 ? client.readDword("NTPSamples") : 0;
        if (samples < 1 || samples > maxSamples)
            throw SimpleException("NTPSamples must be a REG_DWORD from 1 to 8");
        config.samples = samples;
    }
}
