// Pendra -query: asks a server as a poll would, without setting the clock, each line to the
// caller.
#include "common/PendraSettings.h"
#include "service/engine/RegistryKey.h"
#include "service/engine/win/SyncService.h"
#include "service/engine/win/WinsockGuards.h"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <optional>

namespace {

// Hands every line to a function: the lines of a query go to its caller.
class ForwardingLogger : public Logger {
public:
    explicit ForwardingLogger(std::function<void(const std::string&)> out) : out_(std::move(out)) {}
    void writeException(const std::exception& e) override { out_(e.what()); }
    void writeLine(const char* line) override { out_(line); }
    void writeFormatted(const char* format, ...) override {
        char line[1024];
        va_list arguments;
        va_start(arguments, format);
        std::vsnprintf(line, sizeof line, format, arguments);
        va_end(arguments);
        out_(line);
    }

private:
    std::function<void(const std::string&)> out_;
};

// What a query takes from the settings, where they hold it: the port, whether to ask by NTS
// and the further certificates that NTS trusts.
struct QuerySettings {
    std::uint16_t port = 123;
    bool nts = false;
    std::optional<std::string> trustedCertificates;
};

QuerySettings querySettings() {
    QuerySettings settings;
    try {
        const LocalMachineKey machine;
        const RegistrySubKey key(machine, "Software\\Tarnwick\\NTP Client");
        std::unique_ptr<RegistrySubKey> policy;
        try {
            policy = std::make_unique<RegistrySubKey>(machine, pendra_settings::policyKey);
        } catch (const std::exception&) {
            // No policy: the local settings alone.
        }
        // Each value from the policy key where it stands there, whatever its type, as the
        // service reads it; one that cannot be read keeps its default.
        const auto read = [&key, &policy](const char* name, auto reader) {
            std::uint32_t type = 0;
            std::uint32_t size = 0;
            const bool byPolicy = policy && policy->queryValueInfo(name, type, size);
            try {
                reader(byPolicy ? static_cast<const RegistryKey&>(*policy)
                                : static_cast<const RegistryKey&>(key));
            } catch (const std::exception&) {
                // No such value, or not of its type: its default.
            }
        };
        read("NTPServerPort", [&settings](const RegistryKey& from) {
            const std::uint32_t port = from.readDword("NTPServerPort");
            if (port >= 1 && port <= 65535) {
                settings.port = static_cast<std::uint16_t>(port);
            }
        });
        read("UseNTS", [&settings](const RegistryKey& from) {
            settings.nts = from.readDword("UseNTS") != 0;
        });
        read("NTSTrustedCertificates", [&settings](const RegistryKey& from) {
            std::string path = from.readExpandString("NTSTrustedCertificates");
            if (!path.empty()) {
                settings.trustedCertificates = std::move(path);
            }
        });
    } catch (const std::exception&) {
        // No settings: every default.
    }
    return settings;
}

std::string sampleLine(std::uint32_t sample, const SyncMeasurement& measured) {
    char line[160];
    std::snprintf(line, sizeof line, "sample %u: offset %+.3f ms, delay %.3f ms, stratum %u",
                  sample, measured.offset.signedSeconds() * 1000,
                  measured.delay.signedSeconds() * 1000, static_cast<unsigned>(measured.stratum));
    return line;
}

} // namespace

int SyncService::query(const std::string& server, std::uint32_t samples, bool byNts,
                       const std::function<void(const std::string&)>& out) {
    {
        CriticalSectionLock guard(loggerLock);
        logger = std::make_unique<ForwardingLogger>(out);
        configured = true;
    }
    int result = 1;
    try {
        result = queryServer(server, samples, byNts, out);
    } catch (const std::exception& e) {
        out(e.what());
    }
    ntsAssociation = nullptr;
    // The forwarding logger holds the caller's output, which ends with this call.
    CriticalSectionLock guard(loggerLock);
    logger.reset();
    configured = false;
    return result;
}

int SyncService::queryServer(const std::string& server, std::uint32_t samples, bool byNts,
                             const std::function<void(const std::string&)>& out) {
    const std::vector<ServerEntry> entries = parseServerList(server);
    if (entries.size() != 1 || !entries[0].problem.empty()) {
        out("\"" + server + "\" cannot be asked: " +
            (entries.size() != 1 ? std::string("give one server") : entries[0].problem));
        return 2;
    }
    const QuerySettings settings = querySettings();
    config.serverPort = settings.port;
    ephemeralPort = true;
    WinsockSession winsock(1, 1);
    const std::vector<ServerAddress> addresses = resolveServer(entries[0].host, config.serverPort);
    if (addresses.empty()) {
        out(unresolvedNameLine(entries[0].text));
        return 2;
    }
    ServerAddress target = addresses[0];
    if (byNts || settings.nts) {
        // The key exchange names the NTP server and its port.
        ntsSessions.configure(settings.trustedCertificates);
        ntsAssociation = ntsSessions.associationFor(
            entries[0].host, addresses[0], [this] { return exchangeAbandoned.load(); }, out);
        if (!ntsAssociation) {
            out("no valid reply from " + entries[0].text);
            return 1;
        }
        target = atPort(addresses[0], ntsAssociation->port());
        if (!ntsAssociation->server().empty()) {
            const std::vector<ServerAddress> found =
                resolveServer(ntsAssociation->server(), ntsAssociation->port());
            if (found.empty()) {
                out(unresolvedNameLine(ntsAssociation->server()));
                return 1;
            }
            target = found.front();
        }
    }
    out("asking " + entries[0].text + " (" + target.text() + ") on port " +
        std::to_string(ntsAssociation ? ntsAssociation->port() : config.serverPort) + ", " +
        std::to_string(samples) + (samples == 1 ? " sample" : " samples") +
        (ntsAssociation ? " by NTS" : ""));
    std::optional<SyncMeasurement> best;
    std::uint32_t bestSample = 0;
    for (std::uint32_t sample = 1; sample <= samples; ++sample) {
        if (sample > 1 && !waitTimedOut(sampleSpacingMilliseconds)) {
            break;
        }
        SyncMeasurement measured;
        std::string kissCode;
        if (!exchange(target, entries[0].text, measured, kissCode)) {
            out("sample " + std::to_string(sample) + ": no valid reply");
            if (!kissCode.empty()) {
                break; // the server refuses to serve: asking again is no use
            }
            continue;
        }
        out(sampleLine(sample, measured) + (ntsAssociation ? ", authenticated (NTS)" : ""));
        if (!best || measured.delay.signedUnits() < best->delay.signedUnits()) {
            best = measured;
            bestSample = sample;
        }
    }
    if (!best) {
        out("no valid reply from " + entries[0].text);
        return 1;
    }
    out("least delay: " + sampleLine(bestSample, *best));
    return 0;
}
