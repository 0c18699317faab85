#include "service/engine/win/SyncService.h"

#include "common/PendraMetrics.h"
#include "common/PendraSettings.h"
#include "service/engine/SntpPacket.h"
#include "service/engine/win/EventLogWriter.h"
#include "service/engine/win/MetricsFile.h"
#include "service/engine/win/WindowsClock.h"
#include "service/engine/win/WinsockGuards.h"
#include "service/errors/BaseException.h"
#include "service/host/Revision.h"
#include "service/host/win/LogFile.h"
#include "service/host/win/RealtimePriority.h"
#include "win32/StatusRegistry.h"
#include "win32/SystemMessage.h"
#include "win32/WindowsTimeService.h"

#include <wincrypt.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

namespace {

constexpr DWORD replyWaitMilliseconds = 10000;
// The reply wait looks for an abandoned exchange this often.
constexpr DWORD abandonCheckMilliseconds = 100;

// The record's seconds, from the same clock as the exchange.
UnixSeconds clockSeconds() {
    return unixFromFileTime(WindowsClock().now());
}

double milliseconds(NtpStamp span) {
    return span.signedSeconds() * 1000.0;
}

} // namespace

WinsockSession::WinsockSession(BYTE major, BYTE minor) {
    WSADATA data;
    const int result = WSAStartup(MAKEWORD(major, minor), &data);
    if (result != 0) {
        throw LastErrorException("WSAStartup", static_cast<std::uint32_t>(result), "%a: %r");
    }
    if (LOBYTE(data.wVersion) != major || HIBYTE(data.wVersion) != minor) {
        WSACleanup(); // the destructor does not run for a constructor that throws
        throw SimpleException("WSAStartup: Winsock version not available");
    }
    started_ = true;
}

SyncService::SyncService(HINSTANCE instanceHandle)
    : ServiceBase(instanceHandle, "Pendra", SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN) {}

SyncService::~SyncService() = default;

const char* SyncService::dependencies() {
    // The dial-up manager, when this system has one.
    return isInstalled("RasMan") ? "RasMan\0" : ServiceBase::dependencies();
}

Logger& SyncService::log() {
    CriticalSectionLock guard(loggerLock);
    if (!logger) {
        // Before the settings are read there is nowhere to write, and a logger made now would
        // discard every later line.
        if (!configured) {
            return discardingLogger;
        }
        if (config.writeLogEntries && config.logDirectory) {
            logger =
                std::make_unique<LogFile>(config.logDirectory->c_str(), "ntp", config.logFileCount);
        } else {
            logger = std::make_unique<Logger>();
        }
    }
    return *logger;
}

bool SyncService::initialize() {
    stopRequested = false;
    portHeldNoted = false;
    otherTimeServiceNoted = false;
    settingsRefusal.clear();
    // Before the first read, on the thread that runs the loop: a policy that Group Policy
    // writes while the service starts is not missed.
    settingsWatch = std::make_unique<SettingsWatch>();
    ServiceConfiguration read = config;
    try {
        readServiceConfiguration(read);
    } catch (const std::exception& e) {
        {
            CriticalSectionLock guard(loggerLock);
            config = read; // what was read so far may say where the log goes
            configured = true;
        }
        log().writeException(e);
        emit({EventType::error, event_id::configurationError, {e.what()}});
        // A run that set the clock's rate and then crashed left it behind.
        if (const auto stored = readStatusRegistry(); stored && stored->rateSet) {
            systemClock.releaseAdjustment();
        }
        return false;
    }
    {
        CriticalSectionLock guard(loggerLock);
        config = read;
        configured = true;
    }
    backoff = PollBackoff(config.ntpPollMilliseconds);
    rotation = ServerRotation(config.serverName);
    // The last success and the failed polls since then outlive a restart.
    status = readStatusRegistry().value_or(StatusRecord{});
    const bool frequencyUnreadable =
        std::ranges::find(status.unreadable, std::string(status_value::frequency)) !=
        status.unreadable.end();
    status.unreadable.clear();
    // Rounded up: a poll every 300 ms must not read as no interval at all.
    status.pollSeconds = (config.ntpPollMilliseconds + 999) / 1000;
    status.runOnce = config.runOnce != 0;
    replyWatch.emplace(status.lastSuccess, clockSeconds(), status.noReplyWarned);
    statusWriting = std::make_unique<StatusWriterThread>([this](const StatusRecord& record) {
        return statusWriter ? statusWriter(record) : writeStatusRegistry(record);
    });
    emit({EventType::information, event_id::started, {config.serverName}});
    log().writeFormatted("Start Pendra Rev: %s, server %s", pendraRevision,
                         config.serverName.c_str());
    if (!isWindowsNT) {
        char tip[256];
        std::snprintf(tip, sizeof tip, "Try to connect server: \"%s\"", config.serverName.c_str());
        showTrayTip(tip);
    }
    if (!config.fromPolicy.empty()) {
        std::string names;
        for (const std::string& name : config.fromPolicy) {
            names += (names.empty() ? "" : ", ") + name;
        }
        log().writeFormatted("settings from policy: %s", names.c_str());
    }
    if (!config.metricsFileIgnored.empty()) {
        log().writeLine(config.metricsFileIgnored.c_str());
    }
    if (!config.ntsTrustedCertificatesIgnored.empty()) {
        log().writeLine(config.ntsTrustedCertificatesIgnored.c_str());
    }
    ntsSessions.configure(config.ntsTrustedCertificates);
    if (frequencyUnreadable) {
        log().writeLine("the stored frequency is not a number of ppm: ignored");
    }
    prepareDiscipline();
    prepareMetrics();
    return true;
}

void SyncService::prepareMetrics() {
    metricsWriting.reset(); // writes what is pending to the file it was made for
    metricsWriteFailed = false;
    metricsServiceRunning = true;
    if (!config.metricsFile) {
        return;
    }
    metricsWriting = std::make_unique<StatusWriterThread>(
        [this, path = *config.metricsFile](const StatusRecord& record) {
            return writeMetricsFile(
                path, prometheusMetrics(record, clockSeconds(), metricsServiceRunning.load()));
        });
}

void SyncService::noteMetricsWrites() {
    const LONG failure = metricsWriting->lastResult();
    // One line when writing starts to fail, not one a poll, and one when it works again; the
    // polls go on without it.
    if (failure != ERROR_SUCCESS && !metricsWriteFailed) {
        std::string reason = systemMessage(static_cast<DWORD>(failure));
        while (!reason.empty() && std::isspace(static_cast<unsigned char>(reason.back()))) {
            reason.pop_back();
        }
        log().writeFormatted("cannot write the metrics file %s: %s", config.metricsFile->c_str(),
                             reason.c_str());
    } else if (failure == ERROR_SUCCESS && metricsWriteFailed) {
        log().writeFormatted("the metrics file %s is written again", config.metricsFile->c_str());
    }
    metricsWriteFailed = failure != ERROR_SUCCESS;
}

void SyncService::applySettingsChange() {
    ServiceConfiguration read = config;
    try {
        readServiceConfiguration(read);
    } catch (const std::exception& e) {
        // Once for each refusal: other programs' policies may wake the watch again and again.
        if (settingsRefusal != e.what()) {
            settingsRefusal = e.what();
            log().writeFormatted("settings not applied, the last good ones stay in force: %s",
                                 e.what());
        }
        return;
    }
    settingsRefusal.clear();
    const std::vector<std::string> changed = changedSettings(config, read);
    if (changed.empty()) {
        return;
    }
    std::string names;
    for (const std::string& name : changed) {
        names += (names.empty() ? "" : ", ") + name;
    }
    const auto changes = [&changed](const pendra_settings::Setting& setting) {
        return std::ranges::find(changed, setting.name) != changed.end();
    };
    const std::optional<std::string> oldMetricsFile = config.metricsFile;
    const bool slewChanged = read.maxSlewMilliseconds != config.maxSlewMilliseconds;
    {
        CriticalSectionLock guard(loggerLock);
        // A new folder, count or switch of the log: the next line makes the logger anew.
        if (read.writeLogEntries != config.writeLogEntries ||
            read.logDirectory != config.logDirectory || read.logFileCount != config.logFileCount) {
            logger.reset();
        }
        config = read;
    }
    // Into the log that the new settings name.
    log().writeFormatted("settings changed: %s", names.c_str());
    if (changes(pendra_settings::ntpServerName)) {
        rotation = ServerRotation(config.serverName);
    }
    // A kiss-o'-death's wait stays in force unless the interval or the servers changed.
    if (changes(pendra_settings::ntpServerName) || changes(pendra_settings::ntpPollMilliseconds)) {
        backoff = PollBackoff(config.ntpPollMilliseconds);
        status.pollSeconds = (config.ntpPollMilliseconds + 999) / 1000;
    }
    status.runOnce = config.runOnce;
    if (changes(pendra_settings::ntsTrustedCertificates) &&
        !config.ntsTrustedCertificatesIgnored.empty()) {
        log().writeLine(config.ntsTrustedCertificatesIgnored.c_str());
    }
    // New servers or trust: the next ask exchanges keys anew.
    if (changes(pendra_settings::ntpServerName) || changes(pendra_settings::useNts) ||
        changes(pendra_settings::ntsTrustedCertificates)) {
        ntsSessions.configure(config.ntsTrustedCertificates);
    }
    if (changes(pendra_settings::metricsFile)) {
        if (!config.metricsFileIgnored.empty()) {
            log().writeLine(config.metricsFileIgnored.c_str());
        }
        prepareMetrics();
        // The old file would go on telling the last state it saw.
        if (oldMetricsFile) {
            DeleteFileA(oldMetricsFile->c_str());
        }
        if (metricsWriting && status.lastPoll) {
            metricsWriting->post(status);
        }
    }
    if (slewChanged) {
        // The frequency learnt so far is kept for the new limit.
        status.frequencyPpm = discipline->frequencyPpm();
        releaseClock();
        prepareDiscipline();
        startSteering();
    }
}

void SyncService::prepareDiscipline() {
    std::optional<double> remembered = status.frequencyPpm;
    if (remembered && !(std::fabs(*remembered) <= ClockDiscipline::plausibleFrequencyPpm)) {
        char line[96];
        std::snprintf(line, sizeof line,
                      "the stored frequency %+.3f ppm is beyond 500 ppm: ignored", *remembered);
        log().writeLine(line);
        remembered.reset();
    }
    // A discipline gives back a rate that a crashed run left behind as it starts; without one
    // it is given back here.
    auto made =
        std::make_unique<ClockDiscipline>(systemClock, config.maxSlewMilliseconds, remembered);
    if (config.maxSlewMilliseconds > 0 && !made->disciplines()) {
        log().writeLine("this system cannot slew the clock: every correction is a step");
    }
    if (!made->disciplines() && status.rateSet) {
        systemClock.releaseAdjustment();
    }
    status.rateSet = false;
    if (!made->disciplines()) {
        status.frequencyPpm.reset();
    } else if (const auto type = windowsTimeServiceSynchronising();
               type && !otherTimeServiceNoted) {
        otherTimeServiceNoted = true;
        log().writeFormatted("the Windows Time service runs and synchronises this clock too "
                             "(Type %s): two services steering one clock fight",
                             type->c_str());
        emit({EventType::warning, event_id::otherTimeService, {*type}});
    }
    CriticalSectionLock guard(clockLock);
    discipline = std::move(made);
}

bool SyncService::waitTimedOut(DWORD milliseconds) {
    // The event resets itself for the wait that sees it; the flag ends every wait after that
    // one. A stop sets the flag before the event, so none is missed between the two.
    if (stopRequested) {
        return false;
    }
    return WaitForSingleObject(stopEvent.get(), milliseconds) == WAIT_TIMEOUT;
}

void SyncService::startSteering() {
    if (!discipline || !discipline->disciplines()) {
        return;
    }
    steering = std::make_unique<ClockSteeringThread>(*discipline);
    // A rate set only at each poll would hold the whole poll long: steps instead.
    if (!steering->running()) {
        steering.reset();
        discipline->release();
        log().writeLine("the clock's rate cannot be set without its thread: every correction "
                        "is a step");
    }
}

void SyncService::run() {
    CriticalSectionLock running(loopLock);
    startSteering();
    try {
        for (;;) {
            if (stopRequested) {
                break;
            }
            if (settingsWatch->changed()) {
                applySettingsChange();
            }
            // A change that switches the wait off, or shortens it, applies while it waits.
            while (config.waitForRas && !isRasConnected()) {
                if (!waitTimedOut(config.rasPollMilliseconds)) {
                    stopRequested = true;
                    break;
                }
                if (settingsWatch->changed()) {
                    applySettingsChange();
                }
            }
            if (stopRequested) {
                break;
            }
            synchronizeOnce();
            if (stopRequested) {
                break;
            }
            if (!waitTimedOut(backoff.waitMilliseconds())) {
                stopRequested = true;
                break;
            }
        }
    } catch (const std::exception& e) {
        stopRequested = true;
        log().writeException(e);
        log().writeLine("shutting down NTP service");
    }
    releaseClock();
    settingsWatch.reset();
    if (statusWriting) {
        statusWriting->flush();
        noteStatusWrites();
    }
    if (metricsWriting) {
        // A stopped service keeps nothing synchronised: the file must not go on saying so.
        metricsServiceRunning = false;
        metricsWriting->post(status);
        metricsWriting->flush();
        noteMetricsWrites();
    }
    emit({EventType::information, event_id::stopped, {}});
}

void SyncService::emit(const ServiceEvent& event) {
    if (eventSink) {
        eventSink(event);
    } else {
        writeEventLog(event);
    }
}

void SyncService::requestStop(const char* line) {
    stopRequested = true;
    SetEvent(stopEvent.get());
    {
        // Returns once a running loop has let go of its lock.
        CriticalSectionLock waitForLoop(loopLock);
    }
    log().writeLine(line);
}

void SyncService::abandon() {
    exchangeAbandoned = true;
    stopRequested = true;
    SetEvent(stopEvent.get());
    // The process ends without the loop: the clock gets its own rate back now.
    CriticalSectionLock guard(clockLock);
    if (discipline) {
        discipline->release();
    }
}

void SyncService::releaseClock() {
    steering.reset();
    CriticalSectionLock guard(clockLock);
    if (!discipline) {
        return;
    }
    if (!discipline->release()) {
        log().writeFormatted(
            "cannot give the clock its own rate back: %s",
            LastErrorException(systemClock.failedCall(), systemClock.systemError(), "%a: %r")
                .what());
        return;
    }
    // The record no longer asks the next start to give the rate back.
    if (status.rateSet && statusWriting) {
        status.rateSet = false;
        statusWriting->post(status);
    }
}

void SyncService::stop() {
    requestStop("stop request");
}

void SyncService::shutdown() {
    requestStop("shutdown request");
}

void SyncService::setRasEntryPoints(RasEnumConnectionsFn enumConnections,
                                    RasGetConnectStatusFn getConnectStatus) {
    rasLoadAttempted = true;
    rasEnumConnections = enumConnections;
    rasGetConnectStatus = getConnectStatus;
}

bool SyncService::isRasConnected() {
    if (!rasLoadAttempted) {
        rasLoadAttempted = true;
        rasLibrary = LoadLibraryA("rasapi32");
        if (rasLibrary == nullptr) {
            log().writeLine("Unable to LoadLibrary the rasapi32 DLL");
            return false;
        }
        rasEnumConnections = reinterpret_cast<RasEnumConnectionsFn>(
            reinterpret_cast<void*>(GetProcAddress(rasLibrary, "RasEnumConnectionsA")));
        rasGetConnectStatus = reinterpret_cast<RasGetConnectStatusFn>(
            reinterpret_cast<void*>(GetProcAddress(rasLibrary, "RasGetConnectStatusA")));
    }
    if (rasEnumConnections == nullptr || rasGetConnectStatus == nullptr) {
        return false;
    }

    // The record sizes are those of this build's headers, so both widths work.
    RASCONNA probe{};
    probe.dwSize = sizeof(RASCONNA);
    DWORD bytes = 0;
    DWORD count = 0;
    rasEnumConnections(&probe, &bytes, &count);
    const std::size_t records =
        bytes < sizeof(RASCONNA) ? 1 : (bytes + sizeof(RASCONNA) - 1) / sizeof(RASCONNA);
    std::vector<RASCONNA> connections(records);
    connections[0].dwSize = sizeof(RASCONNA);
    bytes = static_cast<DWORD>(records * sizeof(RASCONNA));
    count = 0;
    // The dial-up functions return their error code rather than setting the last error.
    const DWORD failure = rasEnumConnections(connections.data(), &bytes, &count);
    if (failure != 0) {
        throw LastErrorException("RasEnumConnections", failure, "%a: %r");
    }
    const DWORD reported = count < records ? count : static_cast<DWORD>(records);
    for (DWORD i = 0; i < reported; ++i) {
        RASCONNSTATUSA state{};
        state.dwSize = sizeof(RASCONNSTATUSA);
        if (rasGetConnectStatus(connections[i].hrasconn, &state) == 0 &&
            state.rasconnstate == RASCS_Connected) {
            return true;
        }
    }
    return false;
}

void SyncService::reportOutcome(const std::string& line) {
    log().writeLine(line.c_str());
    if (!isWindowsNT) {
        showTrayTip(line.c_str());
    }
}

bool SyncService::reportPassingFault(const char* call, int error) {
    const std::string line = passingNetworkFaultLine(call, static_cast<std::uint32_t>(error));
    if (line.empty()) {
        return false;
    }
    reportOutcome(line);
    return true;
}

SyncService::ReplyWait SyncService::awaitReply(SOCKET udp, bool timedReceive,
                                               const ServerAddress& server,
                                               const std::string& serverName, NtpStamp sentT1,
                                               std::uint8_t (&reply)[replyBufferSize],
                                               std::uint64_t& t4, std::string& kissCode) {
    // Datagrams that fail the checks are dropped and the wait goes on for what is left of it.
    const DWORD started = GetTickCount();
    RejectionLog rejections;
    // An NTS NAK is not authenticated: the server's own reply may still come, and only when
    // none does are the cookies given up.
    bool nakSeen = false;
    for (;;) {
        const DWORD elapsed = GetTickCount() - started; // unsigned: right across the wrap
        const DWORD left = elapsed >= replyWaitMilliseconds ? 0 : replyWaitMilliseconds - elapsed;
        const DWORD slice = std::min(left, abandonCheckMilliseconds);
        ServerAddress sender;
        int senderLength = sizeof sender.bytes;
        std::memset(reply, 0, sizeof reply);
        int received = SOCKET_ERROR;
        bool timedOut = false;
        if (timedReceive) {
            // The socket layer wakes this thread itself when the datagram arrives, so T4 is
            // read at once; after select, the wake-up could wait for the scheduler's next tick.
            const DWORD receiveTimeout = std::max<DWORD>(slice, 1);
            setsockopt(udp, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&receiveTimeout),
                       sizeof receiveTimeout);
            received = recvfrom(udp, reinterpret_cast<char*>(reply), sizeof reply, 0, sender.get(),
                                &senderLength);
            t4 = systemClock.now();
            timedOut = received == SOCKET_ERROR && WSAGetLastError() == WSAETIMEDOUT;
        } else {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(udp, &readable);
            timeval timeout{0, static_cast<long>(slice) * 1000};
            const int ready = select(0, &readable, nullptr, nullptr, &timeout);
            if (ready == SOCKET_ERROR) {
                throw LastErrorException("select", "%a: %r");
            }
            t4 = systemClock.now();
            timedOut = ready == 0;
            if (!timedOut) {
                received = recvfrom(udp, reinterpret_cast<char*>(reply), sizeof reply, 0,
                                    sender.get(), &senderLength);
            }
        }
        if (exchangeAbandoned) {
            return ReplyWait::none;
        }
        if (timedOut) {
            if (left > slice) {
                continue;
            }
            if (nakSeen) {
                kissCode = "NTSN";
                return ReplyWait::kiss;
            }
            log().writeLine("no response from server");
            if (!isWindowsNT) {
                showTrayTip(noResponseTip(serverName).c_str());
            }
            return ReplyWait::none;
        }
        if (received == SOCKET_ERROR) {
            const int error = WSAGetLastError();
            // A datagram longer than the buffer arrives cut to it; it is judged like any other.
            if (error != WSAEMSGSIZE) {
                if (reportPassingFault("recvfrom", error)) {
                    if (nakSeen) { // the NAK still tells that the cookies are spent
                        kissCode = "NTSN";
                        return ReplyWait::kiss;
                    }
                    return ReplyWait::none;
                }
                throw LastErrorException("recvfrom", static_cast<std::uint32_t>(error), "%a: %r");
            }
            received = sizeof reply;
        }
        sender.length = senderLength;
        const auto length = static_cast<std::size_t>(received);
        ReplyCheck check =
            checkSntpReply(reply, length, sentT1, server.sameEndpoint(sender), sender.text(true));
        // By NTS only what the server authenticated counts; an NTS NAK only when it answers
        // this request.
        if (ntsAssociation && (check.verdict == ReplyVerdict::accepted ||
                               check.verdict == ReplyVerdict::kissOfDeath)) {
            std::string problem;
            switch (ntsAssociation->check(reply, length, problem)) {
            case nts::Association::Reply::nak:
                nakSeen = true;
                continue;
            case nts::Association::Reply::forged:
                check = {ReplyVerdict::unauthenticated,
                         "reply rejected: not authenticated: " + problem,
                         {}};
                break;
            case nts::Association::Reply::authentic:
                break;
            }
        }
        if (check.verdict == ReplyVerdict::accepted) {
            return ReplyWait::accepted;
        }
        const std::string line = rejections.lineFor(check.logLine);
        if (!line.empty()) {
            log().writeLine(line.c_str());
        }
        if (check.verdict == ReplyVerdict::kissOfDeath) {
            // The server refuses to serve: leave the clock alone until the next poll.
            kissCode = check.kissCode;
            return ReplyWait::kiss;
        }
    }
}

std::uint64_t SyncService::elapsedMilliseconds() {
    const DWORD now = GetTickCount();
    tickTotal += now - lastTick; // unsigned: right across the wrap; polls lie closer than 49 days
    lastTick = now;
    return tickTotal;
}

CandidateOutcome SyncService::askServer(const ServerAddress& server, const std::string& serverName,
                                        bool onlyCandidate, std::optional<SyncMeasurement>& best,
                                        std::string& kissCode) {
    // The sample with the least delay is the one least disturbed by queueing on the way.
    best.reset();
    kissCode.clear();
    for (std::uint32_t sample = 0; sample < config.samples; ++sample) {
        if (sample > 0 && !waitTimedOut(sampleSpacingMilliseconds)) {
            stopRequested = true;
            return CandidateOutcome::stopped;
        }
        // A lookup cannot be cut short; a stop during it asks no server after it.
        if (exchangeAbandoned || (sample == 0 && stopRequested)) {
            return CandidateOutcome::stopped;
        }
        SyncMeasurement measured;
        if (exchange(server, serverName, measured, kissCode) &&
            (!best || measured.delay.signedUnits() < best->delay.signedUnits())) {
            best = measured;
        }
        if (!kissCode.empty() || exchangeAbandoned) {
            break; // a server that sent a kiss-o'-death is asked no more in this poll
        }
        // Another candidate is asked at once rather than this silent one again.
        if (!best && !onlyCandidate) {
            break;
        }
    }
    // A stop during the last reply wait still lets a valid reply set the clock; without one,
    // no further candidate is asked.
    if (exchangeAbandoned || (stopRequested && !best)) {
        return CandidateOutcome::stopped;
    }
    if (best) {
        return CandidateOutcome::answered;
    }
    if (kissCode == "DENY" || kissCode == "RSTR") {
        return CandidateOutcome::refused;
    }
    return kissCode == "RATE" ? CandidateOutcome::slowDown : CandidateOutcome::noReply;
}

CandidateOutcome SyncService::askNtsServer(const ServerEntry& entry, const ServerAddress& address,
                                           bool onlyCandidate, std::optional<SyncMeasurement>& best,
                                           std::string& kissCode) {
    const auto stopped = [this] { return stopRequested.load() || exchangeAbandoned.load(); };
    const auto note = [this](const std::string& line) { reportOutcome(line); };
    for (int exchanges = 0; exchanges < 2; ++exchanges) {
        nts::Association* association =
            ntsSessions.associationFor(entry.host, address, stopped, note);
        if (!association) {
            return stopped() ? CandidateOutcome::stopped : CandidateOutcome::noReply;
        }
        ServerAddress target = atPort(address, association->port());
        if (!association->server().empty()) {
            const std::vector<ServerAddress> found =
                resolveServer(association->server(), association->port());
            if (found.empty()) {
                reportOutcome(unresolvedNameLine(association->server()));
                ntsSessions.forget(entry.host, address);
                return stopped() ? CandidateOutcome::stopped : CandidateOutcome::noReply;
            }
            target = found.front();
        }
        ntsAssociation = association;
        const CandidateOutcome outcome =
            askServer(target, entry.text, onlyCandidate, best, kissCode);
        ntsAssociation = nullptr;
        if (kissCode != "NTSN") {
            return outcome;
        }
        // The server no longer knows the keys of these cookies.
        kissCode.clear();
        ntsSessions.forget(entry.host, address);
        log().writeFormatted("NTS NAK from %s: its cookies are spent", entry.text.c_str());
        // An authentic sample before it stands; the next poll exchanges keys.
        if (best) {
            return CandidateOutcome::answered;
        }
        if (stopped()) {
            return CandidateOutcome::stopped;
        }
    }
    return CandidateOutcome::noReply;
}

void SyncService::synchronizeOnce() {
    if (exchangeAbandoned) {
        return;
    }
    WinsockSession winsock(1, 1);

    const std::vector<ServerEntry>& entries = rotation.entries();
    std::vector<std::vector<ServerAddress>> addresses(entries.size());
    const auto resolve = [&](std::size_t entry) -> std::optional<std::vector<std::string>> {
        // A lookup cannot be cut short, so a stop ends the poll before the next one.
        if (stopRequested || exchangeAbandoned) {
            return std::nullopt;
        }
        addresses[entry] = resolveServer(entries[entry].host, config.serverPort);
        std::vector<std::string> texts;
        for (const ServerAddress& address : addresses[entry]) {
            texts.push_back(address.text());
        }
        if (texts.empty()) {
            // Often only not yet: at boot the name service may not be ready.
            reportOutcome(unresolvedNameLine(entries[entry].text));
        }
        return texts;
    };
    const auto onlyCandidate = [&] { return entries.size() == 1 && addresses[0].size() == 1; };
    std::optional<SyncMeasurement> best;
    std::string kissCode;
    std::string answeredServer;
    std::string answeredAddress;
    const auto ask = [&](std::size_t entry, std::size_t index) {
        const CandidateOutcome outcome =
            config.useNts ? askNtsServer(entries[entry], addresses[entry][index], onlyCandidate(),
                                         best, kissCode)
                          : askServer(addresses[entry][index], entries[entry].text, onlyCandidate(),
                                      best, kissCode);
        if (outcome == CandidateOutcome::answered) {
            answeredServer = entries[entry].text;
            answeredAddress = addresses[entry][index].text();
        }
        return outcome;
    };
    const auto note = [&](const std::string& line) { log().writeLine(line.c_str()); };
    const CandidateOutcome outcome =
        rotation.poll(resolve, ask, note, elapsedMilliseconds(), backoff.longestMilliseconds());
    if (outcome == CandidateOutcome::stopped) {
        return;
    }
    // A refusal waits the longest only where no other server is left to ask; with several,
    // the refusing one is left out instead, also after it gave a valid sample.
    const bool refusal = kissCode == "DENY" || kissCode == "RSTR";
    if (refusal && best && !onlyCandidate()) {
        log().writeLine(
            rotation.leaveOutLastAnswered(elapsedMilliseconds(), backoff.longestMilliseconds())
                .c_str());
    }
    if (!kissCode.empty() && (!refusal || onlyCandidate())) {
        const std::string line = backoff.onKiss(kissCode);
        if (!line.empty()) {
            log().writeLine(line.c_str());
        }
    }
    if (!best) {
        if (onlyCandidate() && config.samples > 1) {
            log().writeFormatted("no valid reply in %u samples", config.samples);
        }
        std::string result = "no valid reply";
        if (kissCode == "RATE") {
            result = "the server asks for fewer requests (RATE)";
        } else if (kissCode == "DENY" || kissCode == "RSTR") {
            result = "the server refuses this client (" + kissCode + ")";
        }
        recordPoll(result, PollEnd::noValidReply);
        return;
    }

    const PlausibilityCheck plausible = checkPlausibility(best->offset, config.maxAdjustSeconds);
    if (plausible.refused) {
        const std::string refused = refusalText(plausible.wholeSeconds, config.maxAdjustSeconds);
        reportOutcome(refused);
        recordPoll(refused, PollEnd::offsetRefused);
        return;
    }

    correctClock(*best);
    if (kissCode.empty()) {
        const std::string line = backoff.onNormalReply();
        if (!line.empty()) {
            log().writeLine(line.c_str());
        }
    }
    if (status.lastCorrection == "step" && isBigStep(milliseconds(best->offset))) {
        char seconds[64];
        std::snprintf(seconds, sizeof seconds, "%+.3f", milliseconds(best->offset) / 1000);
        emit({EventType::warning, event_id::clockStepped, {seconds, answeredServer}});
    }
    status.lastSuccess = clockSeconds();
    status.offsetMilliseconds = milliseconds(best->offset);
    status.delayMilliseconds = milliseconds(best->delay);
    status.server = answeredServer;
    status.address = answeredAddress;
    status.authentication = config.useNts ? "NTS" : "none";
    ntsSessions.clockCorrected();
    status.failedPolls = 0;
    recordPoll(resultSynchronised, PollEnd::clockSet);
    if (config.runOnce) {
        stopRequested = true;
        if (!isWindowsNT) {
            PostMessageA(trayWindow, WM_DESTROY, 0, 0);
        }
    }
}

SOCKET SyncService::openSocket(const ServerAddress& server) {
    // Such a failure belongs to this candidate (a broadcast address, a family without a route):
    // the poll goes on with the next one.
    const auto failed = [this](const char* call, int error) {
        reportOutcome(LastErrorException(call, static_cast<std::uint32_t>(error), "%a: %r").what());
        return INVALID_SOCKET;
    };
    UdpSocket udp(socket(server.family(), SOCK_DGRAM, 0));
    if (!udp) {
        return failed("socket", WSAGetLastError());
    }
    if (!ephemeralPort) {
        const ServerAddress preferred = anyAddress(server.family(), config.serverPort);
        if (bind(udp.get(), preferred.get(), preferred.length) != SOCKET_ERROR) {
            return udp.release();
        }
        const int error = WSAGetLastError();
        // The Windows time service holds port 123 whenever it runs.
        if (error != WSAEADDRINUSE && error != WSAEACCES) {
            return failed("bind", error);
        }
        if (!portHeldNoted) {
            portHeldNoted = true;
            log().writeFormatted(
                "port %u is held by another program; asking from a port of the system's choice",
                static_cast<unsigned>(config.serverPort));
        }
        // A socket whose bind failed is not bound again: a fresh one.
        udp.reset(socket(server.family(), SOCK_DGRAM, 0));
        if (!udp) {
            return failed("socket", WSAGetLastError());
        }
    }
    const ServerAddress local = anyAddress(server.family(), 0);
    if (bind(udp.get(), local.get(), local.length) == SOCKET_ERROR) {
        return failed("bind", WSAGetLastError());
    }
    return udp.release();
}

bool SyncService::exchange(const ServerAddress& server, const std::string& serverName,
                           SyncMeasurement& measured, std::string& kissCode) {
    UdpSocket udp(openSocket(server));
    if (!udp) {
        return false;
    }
    // A receive time-out where the socket layer has one (Winsock 2); else select and a
    // non-blocking read.
    const DWORD receiveTimeout = abandonCheckMilliseconds;
    const bool timedReceive = setsockopt(udp.get(), SOL_SOCKET, SO_RCVTIMEO,
                                         reinterpret_cast<const char*>(&receiveTimeout),
                                         sizeof receiveTimeout) != SOCKET_ERROR;
    if (!timedReceive) {
        u_long nonBlocking = 1;
        if (ioctlsocket(udp.get(), FIONBIO, &nonBlocking) == SOCKET_ERROR) {
            throw LastErrorException("ioctlsocket", "%a: %r");
        }
    }
    const std::uint32_t noise = unpredictableBits();

    RealtimePriority priority;

    // The true reading stays here for the arithmetic; the request carries it with noise.
    NtpStamp t1 = NtpStamp::fromFileTime(systemClock.now());
    const NtpStamp sentT1 = withSubMillisecondNoise(t1, noise);
    auto header = buildSntpRequest(sentT1);
    std::vector<std::uint8_t> request(header.begin(), header.end());
    if (ntsAssociation) {
        header[0] = 0x23; // NTPv4: its extension fields follow the header
        request = ntsAssociation->request(header);
        if (request.empty()) {
            reportOutcome("NTS: no request can be made (no randomness or no cookie)");
            return false;
        }
        // Sealing it took a while after the reading that the request carries: the arithmetic
        // takes the time it leaves, or the delay of sealing would count as the way out.
        t1 = NtpStamp::fromFileTime(systemClock.now());
    }
    if (sendto(udp.get(), reinterpret_cast<const char*>(request.data()),
               static_cast<int>(request.size()), 0, server.get(), server.length) == SOCKET_ERROR) {
        // Refused for this destination (a broadcast address, no route): the next candidate.
        reportOutcome(
            LastErrorException("sendto", static_cast<std::uint32_t>(WSAGetLastError()), "%a: %r")
                .what());
        return false;
    }

    std::uint8_t reply[replyBufferSize];
    std::uint64_t t4 = 0;
    if (awaitReply(udp.get(), timedReceive, server, serverName, sentT1, reply, t4, kissCode) !=
        ReplyWait::accepted) {
        return false;
    }
    const ReplyStamps stamps = readReplyStamps(reply);
    measured = measureSync(t1, stamps.t2, stamps.t3, NtpStamp::fromFileTime(t4));
    measured.at = t4;
    measured.stratum = reply[1];
    // Such a delay would win every least-delay choice.
    if (isImpossibleDelay(measured.delay, stamps.precision, systemClock.readingStep())) {
        log().writeLine(negativeDelayLine(measured.delay).c_str());
        return false;
    }
    return true;
}

std::uint32_t SyncService::unpredictableBits() {
    // Acquired once and kept: acquiring the provider costs milliseconds of each exchange.
    if (!randomProvider) {
        HCRYPTPROV provider = 0;
        if (!CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_FULL,
                                  CRYPT_VERIFYCONTEXT | CRYPT_SILENT)) {
            provider = 0;
        }
        randomProvider.emplace(provider);
    }
    std::uint32_t bits = 0;
    if (randomProvider->valid() &&
        CryptGenRandom(randomProvider->get(), sizeof bits, reinterpret_cast<BYTE*>(&bits))) {
        return bits;
    }
    // Without the system's generator: the performance counter's fast-moving low bits.
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    return static_cast<std::uint32_t>(counter.QuadPart) * 2654435761u;
}

void SyncService::recordPoll(const std::string& result, PollEnd end) {
    const UnixSeconds now = clockSeconds();
    status.lastPoll = now;
    status.lastResult = result;
    if (end == PollEnd::noValidReply) {
        ++status.failedPolls;
    }
    // The wait in force: after a kiss-o'-death it is longer than the configured interval, and
    // a reader must not take the waiting service for a stopped one.
    status.pollSeconds = (backoff.waitMilliseconds() + 999) / 1000;
    if (config.runOnce) {
        status.nextPoll.reset();
    } else {
        status.nextPoll = now + static_cast<UnixSeconds>(backoff.waitMilliseconds() / 1000);
    }
    status.rateSet = discipline && discipline->rateSet();
    std::optional<ServiceEvent> event;
    if (replyWatch) {
        event = replyWatch->afterPoll(end == PollEnd::clockSet, now, status.server);
        status.noReplyWarned = replyWatch->warned();
    }
    if (statusWriting) {
        noteStatusWrites();
        statusWriting->post(status);
    }
    if (metricsWriting) {
        noteMetricsWrites();
        metricsWriting->post(status);
    }
    if (event) {
        emit(*event);
    }
}

void SyncService::noteStatusWrites() {
    const LONG failure = statusWriting->lastResult();
    // One line when writing starts to fail, not one a poll; the service goes on without it.
    if (failure != ERROR_SUCCESS && !statusWriteFailed) {
        log().writeFormatted(
            "cannot write the status record: %s",
            LastErrorException("RegSetValueEx", static_cast<std::uint32_t>(failure), "%r").what());
    }
    statusWriteFailed = failure != ERROR_SUCCESS;
}

void SyncService::correctClock(const SyncMeasurement& best) {
    if (!discipline) {
        CriticalSectionLock guard(clockLock);
        discipline = std::make_unique<ClockDiscipline>(systemClock, 0);
    }
    const Correction correction = discipline->correct(best.offset, best.delay, best.at);
    if (const auto failure = discipline->takeRateFailure()) {
        log().writeFormatted(
            "cannot slew the clock: %s; every correction is a step from now on",
            LastErrorException(systemClock.failedCall(), *failure, "%a: %r").what());
    }
    status.frequencyPpm = discipline->frequencyPpm();
    if (correction == Correction::step) {
        status.lastCorrection = "step";
        reportSync(best.offset, best.delay);
        return;
    }
    status.lastCorrection = "slew";
    // The log's own formatter has no numbers with a point.
    char line[160];
    std::snprintf(
        line, sizeof line, "time slewed: offset %+.3f ms, delay %.3f ms, frequency %+.3f ppm",
        milliseconds(best.offset), milliseconds(best.delay), status.frequencyPpm.value_or(0));
    log().writeLine(line);
}

void SyncService::reportSync(NtpStamp offset, NtpStamp delay) {
    SYSTEMTIME now;
    GetSystemTime(&now);
    log().writeLine(syncReportLine(offset, delay).c_str());
    if (!isWindowsNT) {
        showTrayTip(syncReportTip(now, offset).c_str());
    }
}
