// The SNTP packet and the decisions taken on it: building the request, checking a reply,
// the offset and delay arithmetic, the plausibility limit and the report texts. Portable, so
// that all of it is tested without Windows.
#pragma once

#include "service/engine/NtpStamp.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

constexpr std::size_t sntpRequestSize = 48;
constexpr std::size_t sntpReceiveSize = 68;

// T1 as sent: the clock reading with random bits in the part below its millisecond
// resolution, so that an off-path sender cannot guess the originate timestamp it must echo.
// Stays within the reading's millisecond.
NtpStamp withSubMillisecondNoise(NtpStamp t1, std::uint32_t randomBits);

// 48 bytes: 0x1B (leap indicator 0, version 3, client mode), zeros, T1 at offset 40.
std::array<std::uint8_t, sntpRequestSize> buildSntpRequest(NtpStamp t1);

// What a received datagram is worth.
enum class ReplyVerdict {
    accepted,
    wrongSender,     // not from the server's address and port
    tooShort,        // fewer than 48 bytes
    wrongMode,       // mode other than 4 (server)
    badVersion,      // version outside 1..4
    wrongOriginate,  // originate timestamp is not the T1 that was sent
    kissOfDeath,     // stratum 0: the server refuses to serve
    unsynchronised,  // leap indicator 3
    badStratum,      // stratum above 15
    zeroTransmit,    // transmit timestamp 0
    unauthenticated, // by NTS: no authenticator of the server's for this request
};

struct ReplyCheck {
    ReplyVerdict verdict;
    std::string logLine;  // empty when accepted; else one line saying why it was dropped
    std::string kissCode; // a kiss-o'-death's four characters, unprintable ones as '?'
};

// Checks a datagram of `length` bytes (only min(length, sntpReceiveSize) are read) against the
// request; `fromServer` tells whether it came from the server's address and port.
// senderText names the sender for the log line (for example "198.51.100.2:123").
ReplyCheck checkSntpReply(const std::uint8_t* data, std::size_t length, NtpStamp sentT1,
                          bool fromServer, const std::string& senderText);

// One exchange's rejection lines: the first maxRejectionLines are written, then one line
// "further replies rejected", then none, so forged datagrams cannot flood the log.
class RejectionLog {
public:
    static constexpr unsigned maxRejectionLines = 10;
    // The line to write for this rejection; empty when nothing is to be written.
    std::string lineFor(const std::string& rejection);

private:
    unsigned count_ = 0;
};

// The timestamps of an accepted reply: T1 (originate, offset 24), T2 (receive, offset 32),
// T3 (transmit, offset 40); and the step of the server's clock as a power of two seconds
// (precision, offset 3).
struct ReplyStamps {
    NtpStamp t1, t2, t3;
    std::int8_t precision;
};
ReplyStamps readReplyStamps(const std::uint8_t* data);

struct SyncMeasurement {
    NtpStamp offset; // to be added to the local clock
    NtpStamp delay;  // round trip, without the server's time
    std::uint8_t stratum = 0;
    std::uint64_t at = 0; // the clock's reading at T4, in 100-ns units since 1601
};
// delay = (T4 - T1) - (T3 - T2); offset = halve((T2 - T1) + (T3 - T4)).
SyncMeasurement measureSync(NtpStamp t1, NtpStamp t2, NtpStamp t3, NtpStamp t4);

// True when the delay lies further below zero than the steps of the two clocks explain (the
// server's precision, at most 2^-6 s, and the local clock's step in 100-ns units): the
// server's T3 - T2 then spans more than the whole round trip, from bogus stamps or a clock
// stepped during the exchange, and the sample's offset is worthless.
bool isImpossibleDelay(NtpStamp delay, std::int8_t serverPrecision, std::uint32_t localStep100ns);
// "reply rejected: negative delay %s%ld.%03d"
std::string negativeDelayLine(NtpStamp delay);

// The whole seconds of the offset's magnitude, and whether they exceed a non-zero limit.
struct PlausibilityCheck {
    bool refused;
    std::uint32_t wholeSeconds;
};
PlausibilityCheck checkPlausibility(NtpStamp offset, std::uint32_t maxAdjustSeconds);

// "adjustment of %ld seconds > max way to big of %ld seconds"
std::string refusalText(std::uint32_t wholeSeconds, std::uint32_t maxAdjustSeconds);
// "time reset: %s%ld.%03d delay: %s%ld.%03d"
std::string syncReportLine(NtpStamp offset, NtpStamp delay);
// "last sync to UTC: %02d:%02d:%02d time reset: %s%ld.%03d s " (ends in a blank)
std::string syncReportTip(const SYSTEMTIME& utcNow, NtpStamp offset);
// "cannot resolve server name \"%s\"", cut to fit 255 characters
std::string unresolvedNameLine(const std::string& serverName);
// For a Winsock error that passes by itself (no route yet, network down, the server's port
// unreachable), the line "call: text" that reports it, and the next poll tries again; empty
// for every other error, which ends the service.
std::string passingNetworkFaultLine(const char* call, std::uint32_t errorCode);
// "no response from server: \"%s\"", cut to fit 255 characters
std::string noResponseTip(const std::string& serverName);
