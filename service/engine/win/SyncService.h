// The time service: reads its settings, then repeats the SNTP exchange at the poll interval,
// optionally waiting for a dial-up connection first, until it is stopped.
#pragma once

#include "common/PendraStatus.h"
#include "service/engine/ClockDiscipline.h"
#include "service/engine/NtpStamp.h"
#include "service/engine/PollBackoff.h"
#include "service/engine/ServerRotation.h"
#include "service/engine/ServiceConfiguration.h"
#include "service/engine/ServiceEvents.h"
#include "service/engine/SntpPacket.h"
#include "service/engine/win/ClockSteeringThread.h"
#include "service/engine/win/NtsSessions.h"
#include "service/engine/win/ServerAddress.h"
#include "service/engine/win/SettingsWatch.h"
#include "service/engine/win/StatusWriterThread.h"
#include "service/engine/win/WindowsClock.h"
#include "service/host/win/ServiceBase.h"
#include "win32/Guards.h"

#include <windows.h>

#include <ras.h>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

class SyncService : public ServiceBase {
public:
    using RasEnumConnectionsFn = DWORD(APIENTRY*)(LPRASCONNA, LPDWORD, LPDWORD);
    using RasGetConnectStatusFn = DWORD(APIENTRY*)(HRASCONN, LPRASCONNSTATUSA);

    // Between the samples of one poll.
    static constexpr DWORD sampleSpacingMilliseconds = 2000;
    // A reply with NTS fields carries up to eight cookies: far more than SNTP's 68 bytes.
    static constexpr std::size_t replyBufferSize = nts::maxNtsPacketSize;

    explicit SyncService(HINSTANCE instance);
    ~SyncService() override;

    const char* dependencies() override;
    void run() override;
    bool initialize() override;
    void stop() override;
    void shutdown() override;
    bool userControl(DWORD) override { return true; }
    Logger& log() override;
    void abandon() override;

    bool isRasConnected();
    void synchronizeOnce();
    // Asks a server as a poll would, on the port of the settings (else 123) from a port of the
    // system's choice, without setting the clock: each sample, then the one with the least
    // delay, as a line to out; what the checks reject says why. 0 with a valid sample, 1
    // without, 2 when the server cannot be asked (not a usable name, not resolved).
    // Whatever goes wrong is told through out too, and gives 1.
    // nts: by NTS whatever the settings say; else by NTS where UseNTS is 1. Each valid sample
    // by NTS says "authenticated (NTS)".
    int query(const std::string& server, std::uint32_t samples, bool nts,
              const std::function<void(const std::string&)>& out);

    const ServiceConfiguration& configuration() const { return config; }
    // Replaces the dial-up entry points (tests only); the library is then not loaded.
    void setRasEntryPoints(RasEnumConnectionsFn enumConnections,
                           RasGetConnectStatusFn getConnectStatus);
    // Replaces the writer of the status record (tests only: a registry that refuses it).
    using StatusWriter = std::function<LONG(const StatusRecord&)>;
    void setStatusWriter(StatusWriter writer) { statusWriter = std::move(writer); }
    // Replaces the event log (tests only: Wine keeps none).
    using EventSink = std::function<void(const ServiceEvent&)>;
    void setEventSink(EventSink sink) { eventSink = std::move(sink); }

private:
    void requestStop(const char* line);
    // Sets the clock by the poll's chosen sample: a step, or a slew where the clock is
    // disciplined; the line of the log and the tray's tip say which.
    void correctClock(const SyncMeasurement& best);
    // The clock's discipline for this start, from the settings and the rate the record keeps.
    void prepareDiscipline();
    // Reads the settings again after a change of the keys; a reading that fails leaves the
    // last good settings in force.
    void applySettingsChange();
    void startSteering();
    void reportSync(NtpStamp offset, NtpStamp delay);
    // Waits on stopEvent; true when the wait ended by its time-out.
    bool waitTimedOut(DWORD milliseconds);
    enum class ReplyWait { accepted, none, kiss };
    // Waits up to 10 s for a reply that passes the checks; none when there was none (the
    // reason is logged) or the exchange was abandoned; kiss, with its code, for a kiss-o'-death.
    // timedReceive: the socket blocks with a receive time-out; else it is non-blocking.
    // With an NTS association, a reply counts only when authentic; an NTS NAK is a kiss of
    // code NTSN.
    ReplyWait awaitReply(SOCKET udp, bool timedReceive, const ServerAddress& server,
                         const std::string& serverName, NtpStamp sentT1,
                         std::uint8_t (&reply)[replyBufferSize], std::uint64_t& t4,
                         std::string& kissCode);
    // A socket for asking server, bound to NTPServerPort, or to a port of the system's choice
    // when another program holds that one; INVALID_SOCKET when this candidate cannot be asked
    // (logged). The caller owns the socket.
    SOCKET openSocket(const ServerAddress& server);
    // One request and its reply: true with the offset and delay of an accepted reply; false
    // when there was none (logged), with kissCode set for a kiss-o'-death.
    bool exchange(const ServerAddress& server, const std::string& serverName,
                  SyncMeasurement& measured, std::string& kissCode);
    // The samples of a poll from one candidate; best is the least-delay accepted one. A
    // candidate that gives no valid reply to its first sample is asked no more in this poll,
    // unless it is the only one.
    CandidateOutcome askServer(const ServerAddress& server, const std::string& serverName,
                               bool onlyCandidate, std::optional<SyncMeasurement>& best,
                               std::string& kissCode);
    // The same by NTS: the key exchange with the candidate first where no cookie is left,
    // then the NTP server it named; an NTS NAK gets one new key exchange.
    CandidateOutcome askNtsServer(const ServerEntry& entry, const ServerAddress& address,
                                  bool onlyCandidate, std::optional<SyncMeasurement>& best,
                                  std::string& kissCode);
    // Milliseconds since an arbitrary start, without the wrap of GetTickCount.
    std::uint64_t elapsedMilliseconds();
    int queryServer(const std::string& server, std::uint32_t samples, bool nts,
                    const std::function<void(const std::string&)>& out);
    // Logs a passing network fault and answers true; false for an error that ends the loop.
    bool reportPassingFault(const char* call, int error);
    void reportOutcome(const std::string& line);
    // After a poll: its result in the status record, which is written for people and scripts.
    // A poll without a valid reply counts as failed; one whose offset was refused does not,
    // but only a set clock ends a day without a valid reply.
    enum class PollEnd { clockSet, offsetRefused, noValidReply };
    void recordPoll(const std::string& result, PollEnd end);
    // One log line when writing the record has started to fail.
    void noteStatusWrites();
    // The metrics file's writer for the settings in force; none without a file.
    void prepareMetrics();
    // One log line when writing the metrics has started to fail, one when it works again.
    void noteMetricsWrites();
    // The clock's own rate back before the service ends, whichever way it ends.
    void releaseClock();
    // Bits that an off-path sender cannot guess, from the system's random generator.
    std::uint32_t unpredictableBits();

    // Written by the loop's thread only, under loggerLock; the control thread reads it only
    // there, to create the logger.
    ServiceConfiguration config;
    bool configured = false;
    // The loop's wait between polls; longer after a kiss-o'-death.
    PollBackoff backoff;
    // The configured servers and which of them the next poll asks first.
    ServerRotation rotation;
    // What the last polls gave; taken over from the stored record at the start.
    StatusRecord status;
    bool statusWriteFailed = false;
    StatusWriter statusWriter;
    std::unique_ptr<StatusWriterThread> statusWriting;
    std::unique_ptr<StatusWriterThread> metricsWriting;
    bool metricsWriteFailed = false;
    // False once the loop has ended: the last file it writes says "not synchronised".
    std::atomic<bool> metricsServiceRunning{true};
    // The error of the settings last refused, logged once; empty while they apply.
    std::string settingsRefusal;
    // The Windows Time service's warning, once a start.
    bool otherTimeServiceNoted = false;
    EventSink eventSink;
    // Whether a day passed without a valid reply; from the start on.
    std::optional<ReplyWatch> replyWatch;
    void emit(const ServiceEvent& event);
    // A query binds a port of the system's choice: the service may hold the configured one.
    bool ephemeralPort = false;
    // The configured port was found held by another program, and the log said so.
    bool portHeldNoted = false;
    WindowsClock systemClock;
    // The key exchanges and their associations, where UseNTS is on; the association of the
    // exchange under way, none by plain SNTP.
    NtsSessions ntsSessions;
    nts::Association* ntsAssociation = nullptr;
    // Set by initialize; the steering thread lives while the loop runs.
    std::unique_ptr<ClockDiscipline> discipline;
    std::unique_ptr<ClockSteeringThread> steering;
    // Guards the discipline's pointer for abandon, which comes from the control thread.
    CriticalSection clockLock;
    // Made by the loop's thread, which the notifications live with.
    std::unique_ptr<SettingsWatch> settingsWatch;
    std::uint64_t tickTotal = 0;
    DWORD lastTick = 0;
    std::optional<ScopedHandle<CryptProviderTraits>> randomProvider;
    bool rasLoadAttempted = false;
    HMODULE rasLibrary = nullptr; // stays loaded for the life of the process
    RasEnumConnectionsFn rasEnumConnections = nullptr;
    RasGetConnectStatusFn rasGetConnectStatus = nullptr;
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> exchangeAbandoned{false};
    CriticalSection loggerLock;
    std::unique_ptr<Logger> logger;
    Logger discardingLogger;
    EventHandle stopEvent;
    CriticalSection loopLock;
};
