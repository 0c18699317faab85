// Pendra -query: asks a server as a poll would, without setting the clock, each line to the
// caller.
#include "service/engine/RegistryKey.h"
#include "service/engine/win/SyncService.h"
#include "service/engine/win/WinsockGuards.h"

#include <cstdarg>
#include <cstdio>

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

// NTPServerPort when the settings hold a usable one; else the NTP port.
std::uint16_t configuredPort() {
    try {
        const LocalMachineKey machine;
        const RegistrySubKey settings(machine, "Software\\Tarnwick\\NTP Client");
        const std::uint32_t port = settings.readDword("NTPServerPort");
        if (port >= 1 && port <= 65535) {
            return static_cast<std::uint16_t>(port);
        }
    } catch (const std::exception&) {
        // No settings, or no such value: the usual port.
    }
    return 123;
}

std::string sampleLine(std::uint32_t sample, const SyncMeasurement& measured) {
    char line[160];
    std::snprintf(line, sizeof line, "sample %u: offset %+.3f ms, delay %.3f ms, stratum %u",
                  sample, measured.offset.signedSeconds() * 1000,
                  measured.delay.signedSeconds() * 1000, static_cast<unsigned>(measured.stratum));
    return line;
}

} // namespace

int SyncService::query(const std::string& server, std::uint32_t samples,
                       const std::function<void(const std::string&)>& out) {
    {
        CriticalSectionLock guard(loggerLock);
        logger = std::make_unique<ForwardingLogger>(out);
        configured = true;
    }
    int result = 1;
    try {
        result = queryServer(server, samples, out);
    } catch (const std::exception& e) {
        out(e.what());
    }
    // The forwarding logger holds the caller's output, which ends with this call.
    CriticalSectionLock guard(loggerLock);
    logger.reset();
    configured = false;
    return result;
}

int SyncService::queryServer(const std::string& server, std::uint32_t samples,
                             const std::function<void(const std::string&)>& out) {
    const std::vector<ServerEntry> entries = parseServerList(server);
    if (entries.size() != 1 || !entries[0].problem.empty()) {
        out("\"" + server + "\" cannot be asked: " +
            (entries.size() != 1 ? std::string("give one server") : entries[0].problem));
        return 2;
    }
    config.serverPort = configuredPort();
    ephemeralPort = true;
    WinsockSession winsock(1, 1);
    const std::vector<ServerAddress> addresses = resolveServer(entries[0].host, config.serverPort);
    if (addresses.empty()) {
        out(unresolvedNameLine(entries[0].text));
        return 2;
    }
    out("asking " + entries[0].text + " (" + addresses[0].text() + ") on port " +
        std::to_string(config.serverPort) + ", " + std::to_string(samples) +
        (samples == 1 ? " sample" : " samples"));
    std::optional<SyncMeasurement> best;
    std::uint32_t bestSample = 0;
    for (std::uint32_t sample = 1; sample <= samples; ++sample) {
        if (sample > 1 && !waitTimedOut(sampleSpacingMilliseconds)) {
            break;
        }
        SyncMeasurement measured;
        std::string kissCode;
        if (!exchange(addresses[0], entries[0].text, measured, kissCode)) {
            out("sample " + std::to_string(sample) + ": no valid reply");
            if (!kissCode.empty()) {
                break; // the server refuses to serve: asking again is no use
            }
            continue;
        }
        out(sampleLine(sample, measured));
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
