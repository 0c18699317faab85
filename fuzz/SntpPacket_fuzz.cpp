// One exchange as SyncService runs it: the request with its noisy T1, then received datagrams
// judged by checkSntpReply until one is accepted or a kiss-o'-death ends the wait, the
// rejection lines through RejectionLog, and for an accepted reply the offset, delay,
// plausibility and report texts. The promises of SntpPacket.h are checked on every step.
//
// Input: the clock reading at T1 (SYSTEMTIME, 16 bytes), noise (4), the clock reading at T4
// (16), MaxAdjustSeconds (4), a Winsock error code (4), the server name (length byte and
// text), then datagrams: a flag byte (bit 0: from the server's address and port; bit 1: the
// originate field carries the T1 that was sent), a length byte and the bytes.
#include "fuzz/FuzzInput.h"
#include "service/engine/SntpPacket.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using Int128 = __int128;

constexpr std::size_t kMaxDatagrams = 24;          // enough to pass the rejection log's limit
constexpr std::uint32_t kOneMillisecond = 4294967; // nearest units of 0.001 s
constexpr Int128 kHalfMillisecondScaled = (Int128{1} << 31) + 2000;
const std::string kServerText = "198.51.100.2:123";
const std::string kStrangerText = "203.0.113.9:123";

std::uint64_t bitsOf(NtpStamp x) {
    return std::uint64_t{x.seconds()} << 32 | x.fraction();
}

std::int64_t signedOf(NtpStamp x) {
    return static_cast<std::int64_t>(bitsOf(x));
}

std::uint32_t bigEndianAt(const std::vector<std::uint8_t>& data, std::size_t offset) {
    return std::uint32_t{data[offset]} << 24 | std::uint32_t{data[offset + 1]} << 16 |
           std::uint32_t{data[offset + 2]} << 8 | data[offset + 3];
}

NtpStamp stampAt(const std::vector<std::uint8_t>& data, std::size_t offset) {
    return {bigEndianAt(data, offset), bigEndianAt(data, offset + 4)};
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool isPrintableLine(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u >= 0x20 && u <= 0x7E;
    });
}

// The magnitude of a signed stamp as the report prints it: the whole seconds the way Windows
// prints an unsigned 32-bit value through %ld, and the fraction alone.
struct Magnitude {
    bool negative;
    long wholeSeconds;
    std::uint32_t fraction;
};

Magnitude magnitudeOf(NtpStamp value) {
    const std::uint64_t bits = bitsOf(value);
    const bool negative = static_cast<std::int64_t>(bits) < 0;
    const std::uint64_t magnitude = negative ? 0 - bits : bits;
    return {negative, static_cast<long>(static_cast<std::int32_t>(magnitude >> 32)),
            static_cast<std::uint32_t>(magnitude)};
}

// Reads "[-]%ld.%03d" at pos and checks it against the value: its own sign, the whole seconds
// and the nearest millisecond of the fraction alone (just below a second gives .000).
void checkPrintedValue(const std::string& text, std::size_t& pos, NtpStamp value) {
    const Magnitude expected = magnitudeOf(value);
    const bool negative = pos < text.size() && text[pos] == '-';
    FUZZ_CHECK(negative == expected.negative);
    if (negative)
        ++pos;
    const std::size_t dot = text.find('.', pos);
    FUZZ_CHECK(dot != std::string::npos);
    FUZZ_CHECK(text.substr(pos, dot - pos) == std::to_string(expected.wholeSeconds));
    FUZZ_CHECK(dot + 4 <= text.size());
    int milliseconds = 0;
    for (std::size_t i = dot + 1; i < dot + 4; ++i) {
        FUZZ_CHECK(text[i] >= '0' && text[i] <= '9');
        milliseconds = milliseconds * 10 + (text[i] - '0');
    }
    pos = dot + 4;
    const Int128 fraction = Int128{expected.fraction} * 1000;
    const Int128 shown = (Int128{milliseconds} << 32) - fraction;
    const Int128 nextSecond = (Int128{1000} << 32) - fraction;
    const auto near = [](Int128 d) {
        return d <= kHalfMillisecondScaled && d >= -kHalfMillisecondScaled;
    };
    FUZZ_CHECK(near(shown) || (milliseconds == 0 && near(nextSecond)));
}

void checkRequest(NtpStamp t1, std::uint32_t noise, NtpStamp sentT1) {
    // Stays within the reading's millisecond: same second, less than 1 ms later.
    FUZZ_CHECK(sentT1.seconds() == t1.seconds());
    FUZZ_CHECK(sentT1.fraction() >= t1.fraction());
    FUZZ_CHECK(sentT1.fraction() - t1.fraction() < kOneMillisecond);
    FUZZ_CHECK(withSubMillisecondNoise(t1, noise) == sentT1);

    const auto request = buildSntpRequest(sentT1);
    const std::vector<std::uint8_t> bytes(request.begin(), request.end());
    FUZZ_CHECK(bytes.size() == 48 && bytes[0] == 0x1B);
    FUZZ_CHECK(std::all_of(bytes.begin() + 1, bytes.begin() + 40, [](auto b) { return b == 0; }));
    FUZZ_CHECK(stampAt(bytes, 40) == sentT1);
}

// The verdict names a fault that the datagram really has, and an accepted one has none.
void checkVerdict(const ReplyCheck& check, const std::vector<std::uint8_t>& buffer,
                  std::size_t length, NtpStamp sentT1, bool fromServer) {
    FUZZ_CHECK((check.verdict == ReplyVerdict::accepted) == check.logLine.empty());
    if (!check.logLine.empty()) {
        FUZZ_CHECK(startsWith(check.logLine, "reply rejected: "));
        FUZZ_CHECK(isPrintableLine(check.logLine));
    }
    if (!fromServer) {
        FUZZ_CHECK(check.verdict == ReplyVerdict::wrongSender);
        return;
    }
    FUZZ_CHECK(check.verdict != ReplyVerdict::wrongSender);
    const std::size_t usable = std::min(length, sntpReceiveSize);
    if (usable < sntpRequestSize) {
        FUZZ_CHECK(check.verdict == ReplyVerdict::tooShort);
        return;
    }
    const unsigned leap = buffer[0] >> 6;
    const unsigned version = (buffer[0] >> 3) & 7u;
    const unsigned mode = buffer[0] & 7u;
    const unsigned stratum = buffer[1];
    const bool echoed = stampAt(buffer, 24) == sentT1;
    const bool transmitZero = stampAt(buffer, 40) == NtpStamp();
    switch (check.verdict) {
    case ReplyVerdict::accepted:
        FUZZ_CHECK(mode == 4 && version >= 1 && version <= 4 && echoed && stratum >= 1 &&
                   stratum <= 15 && leap != 3 && !transmitZero);
        break;
    case ReplyVerdict::wrongSender:
    case ReplyVerdict::tooShort:
    case ReplyVerdict::unauthenticated: // the service's own, after these checks
        FUZZ_CHECK(false);
        break;
    case ReplyVerdict::wrongMode:
        FUZZ_CHECK(mode != 4);
        break;
    case ReplyVerdict::badVersion:
        FUZZ_CHECK(version < 1 || version > 4);
        break;
    case ReplyVerdict::wrongOriginate:
        FUZZ_CHECK(!echoed);
        break;
    case ReplyVerdict::kissOfDeath:
        FUZZ_CHECK(stratum == 0);
        break;
    case ReplyVerdict::unsynchronised:
        FUZZ_CHECK(leap == 3);
        break;
    case ReplyVerdict::badStratum:
        FUZZ_CHECK(stratum > 15);
        break;
    case ReplyVerdict::zeroTransmit:
        FUZZ_CHECK(transmitZero);
        break;
    }
}

void checkRejectionLine(const std::string& line, const std::string& rejection, unsigned count) {
    if (count <= RejectionLog::maxRejectionLines) {
        FUZZ_CHECK(line == rejection);
    } else if (count == RejectionLog::maxRejectionLines + 1) {
        FUZZ_CHECK(line == "further replies rejected");
    } else {
        FUZZ_CHECK(line.empty());
    }
}

void checkMeasurement(NtpStamp t1, NtpStamp t2, NtpStamp t3, NtpStamp t4,
                      std::uint32_t maxAdjustSeconds, const SYSTEMTIME& now) {
    const SyncMeasurement m = measureSync(t1, t2, t3, t4);
    // Modulo 2^64, as the record is a two's-complement difference.
    const std::uint64_t delay = (bitsOf(t4) - bitsOf(t1)) - (bitsOf(t3) - bitsOf(t2));
    const std::uint64_t sum = (bitsOf(t2) - bitsOf(t1)) + (bitsOf(t3) - bitsOf(t4));
    FUZZ_CHECK(bitsOf(m.delay) == delay);
    FUZZ_CHECK(signedOf(m.offset) == static_cast<std::int64_t>(sum) / 2);

    const PlausibilityCheck plausible = checkPlausibility(m.offset, maxAdjustSeconds);
    const std::uint64_t magnitude = m.offset.isNegative() ? 0 - bitsOf(m.offset) : bitsOf(m.offset);
    FUZZ_CHECK(plausible.wholeSeconds == static_cast<std::uint32_t>(magnitude >> 32));
    FUZZ_CHECK(plausible.refused ==
               (maxAdjustSeconds != 0 && plausible.wholeSeconds > maxAdjustSeconds));
    if (plausible.refused) {
        const auto asLong = [](std::uint32_t v) {
            return std::to_string(static_cast<std::int32_t>(v));
        };
        FUZZ_CHECK(refusalText(plausible.wholeSeconds, maxAdjustSeconds) ==
                   "adjustment of " + asLong(plausible.wholeSeconds) +
                       " seconds > max way to big of " + asLong(maxAdjustSeconds) + " seconds");
    }

    const std::string line = syncReportLine(m.offset, m.delay);
    FUZZ_CHECK(line.size() <= 255 && startsWith(line, "time reset: "));
    std::size_t pos = 12;
    checkPrintedValue(line, pos, m.offset);
    FUZZ_CHECK(line.compare(pos, 8, " delay: ") == 0);
    pos += 8;
    checkPrintedValue(line, pos, m.delay);
    FUZZ_CHECK(pos == line.size());

    const std::string tip = syncReportTip(now, m.offset);
    FUZZ_CHECK(tip.size() <= 255 && startsWith(tip, "last sync to UTC: "));
    if (now.wHour < 24 && now.wMinute < 60 && now.wSecond < 60) {
        FUZZ_CHECK(tip.size() > 39 && tip[20] == ':' && tip[23] == ':' &&
                   tip.compare(26, 13, " time reset: ") == 0);
        pos = 39;
        checkPrintedValue(tip, pos, m.offset);
        FUZZ_CHECK(tip.substr(pos) == " s ");
    }
}

// The texts that name the server: the whole name up to a NUL, cut to 255 characters.
void checkServerTexts(const std::string& serverName) {
    const std::string name = serverName.c_str();
    const auto cut = [](std::string text) { return text.substr(0, 255); };
    FUZZ_CHECK(noResponseTip(serverName) == cut("no response from server: \"" + name + "\""));
    FUZZ_CHECK(unresolvedNameLine(serverName) ==
               cut("cannot resolve server name \"" + name + "\""));
}

void checkNetworkFault(std::uint32_t code, bool sending) {
    const char* call = sending ? "sendto" : "recvfrom";
    const std::string line = passingNetworkFaultLine(call, code);
    const bool passes = code == 10049 || code == 10050 || code == 10051 || code == 10052 ||
                        code == 10054 || code == 10064 || code == 10065;
    FUZZ_CHECK(line.empty() != passes);
    if (passes) {
        FUZZ_CHECK(startsWith(line, std::string(call) + ": ") && line.size() <= 255);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    const SYSTEMTIME readingT1 = input.systemTime();
    const std::uint32_t noise = input.dword();
    const SYSTEMTIME readingT4 = input.systemTime();
    const std::uint32_t maxAdjustSeconds = input.dword();
    const std::uint32_t errorCode = input.dword();
    const std::string serverName = input.shortText();

    checkServerTexts(serverName);
    checkNetworkFault(errorCode, (noise & 1) != 0);

    const NtpStamp t1 = NtpStamp::fromSystemTime(readingT1);
    const NtpStamp sentT1 = withSubMillisecondNoise(t1, noise);
    checkRequest(t1, noise, sentT1);

    RejectionLog rejections;
    unsigned rejected = 0;
    for (std::size_t i = 0; i < kMaxDatagrams && input.remaining() > 0; ++i) {
        const std::uint8_t flags = input.byte();
        const bool fromServer = (flags & 1) != 0;
        const std::string received = input.bytes(input.byte());
        // The receive buffer holds sntpReceiveSize bytes, and a longer datagram is cut to it;
        // the length passed is the datagram's own. Only min(length, sntpReceiveSize) bytes may
        // be read, and the buffer holds exactly those, so a read beyond them shows.
        const std::size_t held = std::min(received.size(), sntpReceiveSize);
        std::vector<std::uint8_t> buffer(received.begin(),
                                         received.begin() + static_cast<std::ptrdiff_t>(held));
        if ((flags & 2) != 0 && buffer.size() >= 32) {
            NtpStamp::toNetwork(sentT1, buffer.data() + 24);
        }
        const ReplyCheck check =
            checkSntpReply(buffer.empty() ? nullptr : buffer.data(), received.size(), sentT1,
                           fromServer, fromServer ? kServerText : kStrangerText);
        checkVerdict(check, buffer, received.size(), sentT1, fromServer);

        if (check.verdict == ReplyVerdict::accepted) {
            const ReplyStamps stamps = readReplyStamps(buffer.data());
            FUZZ_CHECK(stamps.t1 == sentT1);
            FUZZ_CHECK(stamps.t2 == stampAt(buffer, 32));
            FUZZ_CHECK(stamps.t3 == stampAt(buffer, 40));
            checkMeasurement(t1, stamps.t2, stamps.t3, NtpStamp::fromSystemTime(readingT4),
                             maxAdjustSeconds, readingT4);
            break;
        }
        checkRejectionLine(rejections.lineFor(check.logLine), check.logLine, ++rejected);
        if (check.verdict == ReplyVerdict::kissOfDeath) {
            break;
        }
    }
    return 0;
}
