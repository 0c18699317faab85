// Pendra -query: asks a server as a poll would, without setting the clock, each line to the
// caller.
#include "service/engine/ServiceConfiguration.h"
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
    ServiceConfiguration settings;
    try {
        readQueryConfiguration(settings);
    } catch (const std::exception& e) {
        out(e.what());
        return 2;
    }
    config.serverPort = settings.serverPort;
    ephemeralPort = true;
    WinsockSession winsock(1, 1);
    const std::vector<ServerAddress> addresses = resolveServer(entries[0].host, config.serverPort);
    if (addresses.empty()) {
        out(unresolvedNameLine(entries[0].text));
        return 2;
    }
    ServerAddress target = addresses[0];
    if (byNts || settings.useNts) {
        if (!settings.ntsTrustedCertificatesIgnored.empty()) {
            out(settings.ntsTrustedCertificatesIgnored);
        }
        // The key exchange names the NTP server and its port.
        ntsSessions.configure(settings.ntsTrustedCertificates);
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
