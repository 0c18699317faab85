#include "service/engine/SntpPacket.h"

#include "service/errors/BaseException.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr std::size_t kTipBufferSize = 256;
constexpr std::size_t kOriginateOffset = 24;
constexpr std::size_t kReceiveOffset = 32;
constexpr std::size_t kTransmitOffset = 40;
constexpr std::size_t kReferenceIdOffset = 12;
constexpr std::size_t kPrecisionOffset = 3;
// A server may claim any precision; a coarser one would let bogus stamps pass as honest.
constexpr int kCoarsestServerPrecision = -6;
constexpr std::uint8_t kClientRequestHeader = 0x1B; // leap 0, version 3, mode 3
constexpr unsigned kModeServer = 4;
constexpr unsigned kLeapUnsynchronised = 3;
constexpr unsigned kMaxStratum = 15;

// The numbers are printed as Windows prints an unsigned 32-bit value through %ld.
long asWindowsLong(std::uint32_t value) {
    return static_cast<long>(static_cast<std::int32_t>(value));
}

struct SignedValue {
    const char* sign;
    long wholeSeconds;
    int milliseconds;
};

SignedValue splitSigned(NtpStamp value) {
    const bool negative = value.isNegative();
    const NtpStamp magnitude = negative ? NtpStamp::negate(value) : value;
    // Rounding the fraction alone: just below a whole second gives .000 without a carry.
    const SYSTEMTIME part = NtpStamp::toSystemTime(NtpStamp(0, magnitude.fraction()));
    return {negative ? "-" : "", asWindowsLong(magnitude.seconds()), part.wMilliseconds};
}

// The reference identifier of a kiss-o'-death is four ASCII letters; anything else is not
// trusted into the log.
std::string kissCode(const std::uint8_t* data) {
    std::string code;
    for (std::size_t i = 0; i < 4; ++i) {
        const std::uint8_t c = data[kReferenceIdOffset + i];
        code += (c >= 0x20 && c <= 0x7E) ? static_cast<char>(c) : '?';
    }
    return code;
}

ReplyCheck reject(ReplyVerdict verdict, const std::string& why) {
    return {verdict, "reply rejected: " + why, {}};
}

} // namespace

NtpStamp withSubMillisecondNoise(NtpStamp t1, std::uint32_t randomBits) {
    // 2^22 units of 2^-32 s are 0.98 ms: added to the fraction of a whole millisecond they stay
    // below the next one, and below the next second even at 999 ms.
    constexpr std::uint32_t belowOneMillisecond = (1u << 22) - 1;
    return {t1.seconds(), t1.fraction() + (randomBits & belowOneMillisecond)};
}

std::string RejectionLog::lineFor(const std::string& rejection) {
    ++count_;
    if (count_ <= maxRejectionLines) {
        return rejection;
    }
    return count_ == maxRejectionLines + 1 ? "further replies rejected" : "";
}

std::array<std::uint8_t, sntpRequestSize> buildSntpRequest(NtpStamp t1) {
    std::array<std::uint8_t, sntpRequestSize> request{};
    request[0] = kClientRequestHeader;
    NtpStamp::toNetwork(t1, request.data() + kTransmitOffset);
    return request;
}

ReplyCheck checkSntpReply(const std::uint8_t* data, std::size_t length, NtpStamp sentT1,
                          bool fromServer, const std::string& senderText) {
    if (!fromServer) {
        return reject(ReplyVerdict::wrongSender, "from " + senderText + ", not the server");
    }
    const std::size_t usable = data == nullptr ? 0 : std::min(length, sntpReceiveSize);
    if (usable < sntpRequestSize) {
        return reject(ReplyVerdict::tooShort, std::to_string(usable) + " bytes, too short");
    }
    const unsigned leap = data[0] >> 6;
    const unsigned version = (data[0] >> 3) & 7u;
    const unsigned mode = data[0] & 7u;
    const unsigned stratum = data[1];
    if (mode != kModeServer) {
        return reject(ReplyVerdict::wrongMode,
                      "mode " + std::to_string(mode) + ", not a server reply");
    }
    if (version < 1 || version > 4) {
        return reject(ReplyVerdict::badVersion, "version " + std::to_string(version));
    }
    // Checked before anything the server says about itself, so a forged kiss-o'-death or
    // unsynchronised reply is reported as what it is.
    if (NtpStamp::fromNetwork(data + kOriginateOffset) != sentT1) {
        return reject(ReplyVerdict::wrongOriginate,
                      "originate timestamp does not match the request");
    }
    // Kiss-o'-death packets normally carry leap indicator 3 too; the code says more.
    if (stratum == 0) {
        ReplyCheck kiss = reject(ReplyVerdict::kissOfDeath, "kiss-o'-death " + kissCode(data));
        kiss.kissCode = kissCode(data);
        return kiss;
    }
    if (leap == kLeapUnsynchronised) {
        return reject(ReplyVerdict::unsynchronised, "server not synchronised");
    }
    if (stratum > kMaxStratum) {
        return reject(ReplyVerdict::badStratum, "stratum " + std::to_string(stratum));
    }
    if (NtpStamp::fromNetwork(data + kTransmitOffset) == NtpStamp()) {
        return reject(ReplyVerdict::zeroTransmit, "transmit timestamp is zero");
    }
    return {ReplyVerdict::accepted, {}, {}};
}

ReplyStamps readReplyStamps(const std::uint8_t* data) {
    return {NtpStamp::fromNetwork(data + kOriginateOffset),
            NtpStamp::fromNetwork(data + kReceiveOffset),
            NtpStamp::fromNetwork(data + kTransmitOffset),
            static_cast<std::int8_t>(data[kPrecisionOffset])};
}

SyncMeasurement measureSync(NtpStamp t1, NtpStamp t2, NtpStamp t3, NtpStamp t4) {
    using S = NtpStamp;
    const NtpStamp delay = S::subtract(S::subtract(t4, t1), S::subtract(t3, t2));
    const NtpStamp offset = S::halve(S::add(S::subtract(t2, t1), S::subtract(t3, t4)));
    return {offset, delay};
}

bool isImpossibleDelay(NtpStamp delay, std::int8_t serverPrecision, std::uint32_t localStep100ns) {
    if (!delay.isNegative()) {
        return false;
    }
    // In units of 2^-32 s: a step of 2^p s is 2^(32 + p) units, a 100-ns step 2^32 / 10^7.
    const int exponent = 32 + std::min<int>(serverPrecision, kCoarsestServerPrecision);
    const std::uint64_t serverStep = exponent < 0 ? 0 : std::uint64_t{1} << exponent;
    const std::uint64_t localStep = ((std::uint64_t{localStep100ns} << 32) + 9999999) / 10000000;
    const NtpStamp below = NtpStamp::negate(delay);
    const std::uint64_t magnitude = std::uint64_t{below.seconds()} << 32 | below.fraction();
    return magnitude > serverStep + localStep;
}

std::string negativeDelayLine(NtpStamp delay) {
    const SignedValue d = splitSigned(delay);
    std::array<char, kTipBufferSize> text{};
    std::snprintf(text.data(), text.size(), "reply rejected: negative delay %s%ld.%03d", d.sign,
                  d.wholeSeconds, d.milliseconds);
    return text.data();
}

PlausibilityCheck checkPlausibility(NtpStamp offset, std::uint32_t maxAdjustSeconds) {
    const NtpStamp magnitude = offset.isNegative() ? NtpStamp::negate(offset) : offset;
    const std::uint32_t wholeSeconds = magnitude.seconds();
    return {maxAdjustSeconds != 0 && wholeSeconds > maxAdjustSeconds, wholeSeconds};
}

std::string refusalText(std::uint32_t wholeSeconds, std::uint32_t maxAdjustSeconds) {
    std::array<char, kTipBufferSize> text{};
    std::snprintf(text.data(), text.size(),
                  "adjustment of %ld seconds > max way to big of %ld seconds",
                  asWindowsLong(wholeSeconds), asWindowsLong(maxAdjustSeconds));
    return text.data();
}

std::string syncReportLine(NtpStamp offset, NtpStamp delay) {
    const SignedValue o = splitSigned(offset);
    const SignedValue d = splitSigned(delay);
    std::array<char, kTipBufferSize> text{};
    std::snprintf(text.data(), text.size(), "time reset: %s%ld.%03d delay: %s%ld.%03d", o.sign,
                  o.wholeSeconds, o.milliseconds, d.sign, d.wholeSeconds, d.milliseconds);
    return text.data();
}

std::string syncReportTip(const SYSTEMTIME& utcNow, NtpStamp offset) {
    const SignedValue o = splitSigned(offset);
    std::array<char, kTipBufferSize> text{};
    std::snprintf(text.data(), text.size(),
                  "last sync to UTC: %02d:%02d:%02d time reset: %s%ld.%03d s ", utcNow.wHour,
                  utcNow.wMinute, utcNow.wSecond, o.sign, o.wholeSeconds, o.milliseconds);
    return text.data();
}

std::string unresolvedNameLine(const std::string& serverName) {
    std::array<char, kTipBufferSize> text{};
    std::snprintf(text.data(), text.size(), "cannot resolve server name \"%s\"",
                  serverName.c_str());
    return text.data();
}

std::string passingNetworkFaultLine(const char* call, std::uint32_t errorCode) {
    switch (errorCode) {
    case 10049: // WSAEADDRNOTAVAIL
    case 10050: // WSAENETDOWN
    case 10051: // WSAENETUNREACH
    case 10052: // WSAENETRESET
    case 10054: // WSAECONNRESET: an ICMP port unreachable for an earlier datagram
    case 10064: // WSAEHOSTDOWN
    case 10065: // WSAEHOSTUNREACH
        return LastErrorException(call, errorCode, "%a: %r").what();
    default:
        return {};
    }
}

std::string noResponseTip(const std::string& serverName) {
    std::array<char, kTipBufferSize> text{};
    // snprintf cuts a long name at the buffer's end instead of overflowing it.
    std::snprintf(text.data(), text.size(), "no response from server: \"%s\"", serverName.c_str());
    return text.data();
}
