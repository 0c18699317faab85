#include "service/engine/SntpPacket.h"

#include "service/engine/PollBackoff.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace {

const NtpStamp kSentT1(3912345678u, 0x12345678u);
const NtpStamp kT2(3912345680u, 0x9ABCDEF0u);
const NtpStamp kT3(3912345680u, 0xA0000000u);
const std::string kServer = "198.51.100.2:123";

using Reply = std::array<std::uint8_t, sntpRequestSize>;

// A well-formed answer to kSentT1: leap 0, version 4, mode 4, stratum 2.
Reply goodReply() {
    Reply r{};
    r[0] = 0x24;
    r[1] = 2;
    r[3] = 0xEC; // precision -20: about a microsecond
    NtpStamp::toNetwork(kSentT1, r.data() + 24);
    NtpStamp::toNetwork(kT2, r.data() + 32);
    NtpStamp::toNetwork(kT3, r.data() + 40);
    return r;
}

ReplyCheck check(const Reply& r, bool fromServer = true) {
    // Exactly the datagram's bytes on the heap, so the sanitizer sees any read beyond them.
    const std::vector<std::uint8_t> datagram(r.begin(), r.end());
    return checkSntpReply(datagram.data(), datagram.size(), kSentT1, fromServer, kServer);
}

std::uint8_t header(unsigned leap, unsigned version, unsigned mode) {
    return static_cast<std::uint8_t>(leap << 6 | version << 3 | mode);
}

NtpStamp fromUnits(std::int64_t units) {
    const auto bits = static_cast<std::uint64_t>(units);
    return {static_cast<std::uint32_t>(bits >> 32), static_cast<std::uint32_t>(bits)};
}

std::int64_t toUnits(NtpStamp x) {
    return static_cast<std::int64_t>(std::uint64_t{x.seconds()} << 32 | x.fraction());
}

NtpStamp ms(std::int64_t milliseconds) {
    return fromUnits(milliseconds * 4294967296 / 1000);
}

SYSTEMTIME clockAt(int hour, int minute, int second, int milliseconds) {
    SYSTEMTIME t{};
    t.wYear = 2024;
    t.wMonth = 3;
    t.wDay = 14;
    t.wHour = static_cast<std::uint16_t>(hour);
    t.wMinute = static_cast<std::uint16_t>(minute);
    t.wSecond = static_cast<std::uint16_t>(second);
    t.wMilliseconds = static_cast<std::uint16_t>(milliseconds);
    return t;
}

} // namespace

TEST(SntpRequest, IsClientHeaderZerosAndT1AtOffsetForty) {
    const auto request = buildSntpRequest(NtpStamp(0x01020304u, 0xA0B0C0D0u));
    ASSERT_EQ(request.size(), 48u);
    EXPECT_EQ(request[0], 0x1B);
    for (std::size_t i = 1; i < 40; ++i) {
        EXPECT_EQ(request[i], 0) << "byte " << i;
    }
    const std::uint8_t t1[] = {0x01, 0x02, 0x03, 0x04, 0xA0, 0xB0, 0xC0, 0xD0};
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(request[40 + i], t1[i]) << "byte " << 40 + i;
    }
}

TEST(SntpReplyCheck, AcceptsAGoodReplyAndReadsItsStamps) {
    const Reply r = goodReply();
    const ReplyCheck result = check(r);
    EXPECT_EQ(result.verdict, ReplyVerdict::accepted);
    EXPECT_EQ(result.logLine, "");
    const ReplyStamps stamps = readReplyStamps(r.data());
    EXPECT_EQ(stamps.t1, kSentT1);
    EXPECT_EQ(stamps.t2, kT2);
    EXPECT_EQ(stamps.t3, kT3);
    EXPECT_EQ(stamps.precision, -20);

    // Every version from 1 to 4, and the leap indicators that announce a leap second.
    for (unsigned leap = 0; leap < 3; ++leap) {
        for (unsigned version = 1; version <= 4; ++version) {
            Reply v = goodReply();
            v[0] = header(leap, version, 4);
            EXPECT_EQ(check(v).verdict, ReplyVerdict::accepted) << leap << " " << version;
        }
    }
    Reply top = goodReply();
    top[1] = 15;
    EXPECT_EQ(check(top).verdict, ReplyVerdict::accepted);
}

TEST(SntpReplyCheck, EachFaultHasItsVerdictAndOneLine) {
    struct Case {
        std::function<void(Reply&)> spoil;
        ReplyVerdict verdict;
        std::string line;
    };
    const Case cases[] = {
        {[](Reply& r) { r[0] = header(0, 3, 3); }, ReplyVerdict::wrongMode,
         "reply rejected: mode 3, not a server reply"},
        {[](Reply& r) { r[0] = header(0, 3, 5); }, ReplyVerdict::wrongMode,
         "reply rejected: mode 5, not a server reply"},
        {[](Reply& r) { r[0] = header(0, 0, 4); }, ReplyVerdict::badVersion,
         "reply rejected: version 0"},
        {[](Reply& r) { r[0] = header(0, 5, 4); }, ReplyVerdict::badVersion,
         "reply rejected: version 5"},
        {[](Reply& r) { r[31] ^= 1; }, ReplyVerdict::wrongOriginate,
         "reply rejected: originate timestamp does not match the request"},
        {[](Reply& r) { std::fill(r.begin() + 24, r.begin() + 32, 0); },
         ReplyVerdict::wrongOriginate,
         "reply rejected: originate timestamp does not match the request"},
        {[](Reply& r) {
             r[0] = header(3, 4, 4);
             r[1] = 0;
             std::copy_n("RATE", 4, r.begin() + 12);
         },
         ReplyVerdict::kissOfDeath, "reply rejected: kiss-o'-death RATE"},
        {[](Reply& r) { r[0] = header(3, 4, 4); }, ReplyVerdict::unsynchronised,
         "reply rejected: server not synchronised"},
        {[](Reply& r) { r[1] = 16; }, ReplyVerdict::badStratum, "reply rejected: stratum 16"},
        {[](Reply& r) { r[1] = 255; }, ReplyVerdict::badStratum, "reply rejected: stratum 255"},
        {[](Reply& r) { std::fill(r.begin() + 40, r.end(), 0); }, ReplyVerdict::zeroTransmit,
         "reply rejected: transmit timestamp is zero"},
    };
    for (const Case& c : cases) {
        Reply r = goodReply();
        c.spoil(r);
        const ReplyCheck result = check(r);
        EXPECT_EQ(result.verdict, c.verdict) << c.line;
        EXPECT_EQ(result.logLine, c.line);
    }

    const ReplyCheck stranger =
        checkSntpReply(goodReply().data(), 48, kSentT1, false, "203.0.113.9:123");
    EXPECT_EQ(stranger.verdict, ReplyVerdict::wrongSender);
    EXPECT_EQ(stranger.logLine, "reply rejected: from 203.0.113.9:123, not the server");
}

TEST(SntpReplyCheck, ForgeriesAreReportedAsForgeriesNotAsWhatTheyClaim) {
    Reply kiss = goodReply();
    kiss[0] = header(3, 4, 4);
    kiss[1] = 0;
    std::copy_n("DENY", 4, kiss.begin() + 12);
    EXPECT_EQ(check(kiss, false).verdict, ReplyVerdict::wrongSender);

    Reply blindKiss = kiss;
    NtpStamp::toNetwork(NtpStamp::add(kSentT1, {0, 1}), blindKiss.data() + 24);
    EXPECT_EQ(check(blindKiss).verdict, ReplyVerdict::wrongOriginate);

    // Several faults at once: the earliest check names it.
    Reply echo = goodReply();
    echo[0] = header(3, 0, 3);
    echo[1] = 0;
    EXPECT_EQ(check(echo).verdict, ReplyVerdict::wrongMode);
    echo[0] = header(3, 0, 4);
    EXPECT_EQ(check(echo).verdict, ReplyVerdict::badVersion);
}

TEST(SntpReplyCheck, KissCodeShowsOnlyPrintableCharacters) {
    Reply r = goodReply();
    r[1] = 0;
    const std::uint8_t code[] = {'R', 0x01, 0x7F, 0x80};
    std::copy_n(code, 4, r.begin() + 12);
    EXPECT_EQ(check(r).logLine, "reply rejected: kiss-o'-death R???");
    const std::uint8_t edges[] = {0x20, 0x7E, 0x00, 0xFF};
    std::copy_n(edges, 4, r.begin() + 12);
    EXPECT_EQ(check(r).logLine, "reply rejected: kiss-o'-death  ~??");
}

TEST(SntpReplyCheck, ReadsOnlyTheBytesThatArrived) {
    const Reply good = goodReply();
    for (std::size_t length = 0; length <= 100; ++length) {
        std::vector<std::uint8_t> datagram(length, 0xEE);
        std::copy_n(good.begin(), std::min(length, good.size()), datagram.begin());
        const ReplyCheck result = checkSntpReply(datagram.data(), length, kSentT1, true, kServer);
        if (length < 48) {
            EXPECT_EQ(result.verdict, ReplyVerdict::tooShort);
            EXPECT_EQ(result.logLine,
                      "reply rejected: " + std::to_string(length) + " bytes, too short");
        } else {
            EXPECT_EQ(result.verdict, ReplyVerdict::accepted) << length;
        }
    }
    // A datagram longer than the receive buffer is only read as far as the buffer goes.
    std::vector<std::uint8_t> buffer(good.begin(), good.end());
    buffer.resize(sntpReceiveSize, 0xEE);
    EXPECT_EQ(checkSntpReply(buffer.data(), 100, kSentT1, true, kServer).verdict,
              ReplyVerdict::accepted);
    EXPECT_EQ(checkSntpReply(nullptr, 0, kSentT1, true, kServer).verdict, ReplyVerdict::tooShort);
    EXPECT_EQ(checkSntpReply(nullptr, 0, kSentT1, false, kServer).verdict,
              ReplyVerdict::wrongSender);
}

TEST(SntpMeasurement, ReportLineGivesEachValueItsOwnSign) {
    EXPECT_EQ(syncReportLine(NtpStamp::negate({1, 0x40000000u}), ms(31)),
              "time reset: -1.250 delay: 0.031");
    EXPECT_EQ(
        syncReportLine(fromUnits(4294967296 * 4 / 10000), fromUnits(4294967296 * 204 / 10000)),
        "time reset: 0.000 delay: 0.020");
    EXPECT_EQ(syncReportLine(ms(500), ms(-2)), "time reset: 0.500 delay: -0.002");
    EXPECT_EQ(syncReportLine(ms(-2500), ms(-40)), "time reset: -2.500 delay: -0.040");
    EXPECT_EQ(syncReportLine({0, 0}, {0, 0}), "time reset: 0.000 delay: 0.000");
}

TEST(SntpMeasurement, FractionJustBelowAWholeSecondPrintsZeroMilliseconds) {
    // The milliseconds round on their own and the whole seconds are not raised.
    EXPECT_EQ(syncReportLine({3, 0xFFFFFFFFu}, {0, 0xFFF00000u}), "time reset: 3.000 delay: 0.000");
    EXPECT_EQ(syncReportLine(NtpStamp::negate({3, 0xFFFFFFFFu}), {0, 0}),
              "time reset: -3.000 delay: 0.000");
    EXPECT_EQ(syncReportLine({7, 0xFFBE76C8u}, {0, 0}), "time reset: 7.999 delay: 0.000");
}

TEST(SntpMeasurement, OffsetAndDelayOfARealisticExchange) {
    // Server 2.5 s ahead, 20 ms each way and 1 ms inside the server.
    const auto exchange = [](NtpStamp t1) {
        const NtpStamp t2 = NtpStamp::add(t1, ms(2520));
        const NtpStamp t3 = NtpStamp::add(t2, ms(1));
        const NtpStamp t4 = NtpStamp::add(t1, ms(41));
        return measureSync(t1, t2, t3, t4);
    };
    const NtpStamp starts[] = {
        NtpStamp::fromSystemTime(clockAt(12, 0, 0, 0)),
        NtpStamp::fromSystemTime(clockAt(23, 59, 59, 999)),
        NtpStamp(0xFFFFFFFFu, 0xF0000000u), // the server's stamps are already in the next era
    };
    for (const NtpStamp& t1 : starts) {
        const SyncMeasurement m = exchange(t1);
        EXPECT_NEAR(static_cast<double>(toUnits(m.offset) - toUnits(ms(2500))), 0.0, 1.0);
        EXPECT_NEAR(static_cast<double>(toUnits(m.delay) - toUnits(ms(40))), 0.0, 1.0);
        EXPECT_EQ(syncReportLine(m.offset, m.delay), "time reset: 2.500 delay: 0.040");
    }

    // The same exchange with the server behind: the offset flips sign, the delay does not.
    const NtpStamp t1 = NtpStamp::fromSystemTime(clockAt(12, 0, 3, 0));
    const NtpStamp t2 = NtpStamp::subtract(t1, ms(2480));
    const SyncMeasurement behind =
        measureSync(t1, t2, NtpStamp::add(t2, ms(1)), NtpStamp::add(t1, ms(41)));
    EXPECT_EQ(syncReportLine(behind.offset, behind.delay), "time reset: -2.500 delay: 0.040");
}

TEST(SntpMeasurement, ADelayBelowZeroBeyondTheClocksStepsIsImpossible) {
    // The server's stamps span 300 ms of a 40-ms round trip (its clock stepped, or it lies):
    // the delay, -260 ms, would win every least-delay choice.
    const NtpStamp t1 = NtpStamp::fromSystemTime(clockAt(12, 0, 0, 0));
    const NtpStamp t2 = NtpStamp::add(t1, ms(20));
    const SyncMeasurement stretched =
        measureSync(t1, t2, NtpStamp::add(t2, ms(300)), NtpStamp::add(t1, ms(40)));
    EXPECT_TRUE(isImpossibleDelay(stretched.delay, -20, 1));
    EXPECT_EQ(negativeDelayLine(stretched.delay), "reply rejected: negative delay -0.260");
    EXPECT_EQ(negativeDelayLine(ms(-2500)), "reply rejected: negative delay -2.500");

    EXPECT_FALSE(isImpossibleDelay(ms(0), -20, 1));
    EXPECT_FALSE(isImpossibleDelay(ms(40), -20, 1));
    // A precise clock on both ends: a microsecond and a 100-ns step (430 units) are allowed.
    EXPECT_FALSE(isImpossibleDelay(fromUnits(-4096 - 430), -20, 1));
    EXPECT_TRUE(isImpossibleDelay(fromUnits(-4096 - 431), -20, 1));
    EXPECT_TRUE(isImpossibleDelay(fromUnits(-431), -128, 1));
    // A fast network seen through a coarse clock is honest: NT's 15.625-ms tick, Windows
    // 95's 55 ms, a server stamping in steps of 2^-6 s.
    EXPECT_FALSE(isImpossibleDelay(ms(-15), -20, 156250));
    EXPECT_TRUE(isImpossibleDelay(ms(-17), -20, 156250));
    EXPECT_FALSE(isImpossibleDelay(ms(-70), -6, 550000));
    EXPECT_TRUE(isImpossibleDelay(ms(-71), -6, 550000));
    EXPECT_FALSE(isImpossibleDelay(ms(-15), -6, 1));
    // A server that claims a coarser clock gains nothing beyond 2^-6 s.
    EXPECT_TRUE(isImpossibleDelay(ms(-17), 0, 1));
    EXPECT_TRUE(isImpossibleDelay(ms(-17), 127, 1));
    EXPECT_TRUE(isImpossibleDelay(NtpStamp(0x80000000u, 0), 127, 0xFFFFFFFFu));
}

TEST(SntpPlausibility, LimitsTheMagnitudesWholeSeconds) {
    const PlausibilityCheck back = checkPlausibility(ms(-5900), 5);
    EXPECT_FALSE(back.refused);
    EXPECT_EQ(back.wholeSeconds, 5u);
    EXPECT_FALSE(checkPlausibility(ms(5999), 5).refused);

    const PlausibilityCheck ahead = checkPlausibility(ms(6000), 5);
    EXPECT_TRUE(ahead.refused);
    EXPECT_EQ(ahead.wholeSeconds, 6u);
    EXPECT_EQ(refusalText(ahead.wholeSeconds, 5),
              "adjustment of 6 seconds > max way to big of 5 seconds");
    EXPECT_TRUE(checkPlausibility(ms(-6000), 5).refused);

    // No limit: anything goes, even the largest offsets in either direction.
    EXPECT_FALSE(checkPlausibility({0x7FFFFFFFu, 0xFFFFFFFFu}, 0).refused);
    EXPECT_FALSE(checkPlausibility({0x80000000u, 0}, 0).refused);
    // The unsigned comparison still refuses the most negative offset under a huge limit.
    EXPECT_TRUE(checkPlausibility({0x80000000u, 0}, 0x7FFFFFFFu).refused);
    EXPECT_EQ(refusalText(0x80000000u, 0xFFFFFFFFu),
              "adjustment of -2147483648 seconds > max way to big of -1 seconds");
}

TEST(SntpTips, SyncTipShowsClockAndSignedOffset) {
    EXPECT_EQ(syncReportTip(clockAt(9, 5, 7, 999), NtpStamp::negate({1, 0x40000000u})),
              "last sync to UTC: 09:05:07 time reset: -1.250 s ");
    EXPECT_EQ(syncReportTip(clockAt(23, 59, 0, 0), ms(42)),
              "last sync to UTC: 23:59:00 time reset: 0.042 s ");
}

TEST(SntpTips, NoResponseTipCutsALongServerName) {
    const std::string prefix = "no response from server: \"";
    EXPECT_EQ(noResponseTip("pool.ntp.org"), prefix + "pool.ntp.org\"");
    EXPECT_EQ(noResponseTip(""), prefix + "\"");

    std::string longName;
    for (int i = 0; i < 300; ++i) {
        longName += static_cast<char>('a' + i % 26);
    }
    const std::string tip = noResponseTip(longName);
    EXPECT_EQ(tip.size(), 255u);
    EXPECT_EQ(tip, prefix + longName.substr(0, 255 - prefix.size()));
}

TEST(SntpRequest, NoiseFillsTheSubMillisecondPartAndStaysInTheReadingsMillisecond) {
    // Every millisecond of the clock's table, with no noise and with all noise bits set.
    for (std::uint16_t milli = 0; milli < 1000; ++milli) {
        SYSTEMTIME reading = clockAt(12, 0, 59, milli);
        const NtpStamp t1 = NtpStamp::fromSystemTime(reading);
        EXPECT_EQ(withSubMillisecondNoise(t1, 0), t1);
        const NtpStamp noisy = withSubMillisecondNoise(t1, 0xFFFFFFFFu);
        ASSERT_EQ(noisy.seconds(), t1.seconds()) << milli;
        EXPECT_GT(noisy.fraction(), t1.fraction());
        // Still read as the same millisecond: less than one millisecond later.
        EXPECT_LT(toUnits(NtpStamp::subtract(noisy, t1)), toUnits(ms(1))) << milli;
    }
    // Different random bits give different stamps: the low bits are not fixed.
    const NtpStamp t1 = NtpStamp::fromSystemTime(clockAt(12, 0, 0, 500));
    EXPECT_NE(withSubMillisecondNoise(t1, 0x12345), withSubMillisecondNoise(t1, 0x54321));
}

TEST(SntpNetworkFaults, PassingFaultsAreLinesOtherErrorsAreNot) {
    EXPECT_EQ(passingNetworkFaultLine("sendto", 10051), "sendto: Network is unreachable.");
    EXPECT_EQ(passingNetworkFaultLine("recvfrom", 10054), "recvfrom: Connection reset by peer.");
    for (std::uint32_t code : {10049u, 10050u, 10052u, 10064u, 10065u}) {
        EXPECT_EQ(passingNetworkFaultLine("sendto", code).rfind("sendto: ", 0), 0u) << code;
    }
    // Errors that do not pass by themselves still end the service.
    for (std::uint32_t code : {0u, 10013u, 10048u, 10055u, 10038u, 5u}) {
        EXPECT_EQ(passingNetworkFaultLine("sendto", code), "") << code;
    }
    EXPECT_EQ(unresolvedNameLine("ntp.example.invalid"),
              "cannot resolve server name \"ntp.example.invalid\"");
    EXPECT_EQ(unresolvedNameLine(std::string(400, 'a')).size(), 255u);
}

TEST(PollBackoff, RateDoublesWithinItsBoundsAndANormalReplyEndsIt) {
    PollBackoff backoff(1000);
    EXPECT_EQ(backoff.onNormalReply(), "");
    EXPECT_EQ(backoff.onKiss("RATE"), "kiss-o'-death RATE: polls slowed to every 15000 ms");
    EXPECT_EQ(backoff.onKiss("RATE"), "kiss-o'-death RATE: polls slowed to every 30000 ms");
    EXPECT_EQ(backoff.onKiss("RATE"), "kiss-o'-death RATE: polls slowed to every 60000 ms");
    EXPECT_EQ(backoff.onKiss("RATE"), "kiss-o'-death RATE: polls slowed to every 64000 ms");
    EXPECT_EQ(backoff.onKiss("RATE"), ""); // at the longest: nothing new to say
    EXPECT_EQ(backoff.onKiss("XYZW"), "");
    EXPECT_EQ(backoff.waitMilliseconds(), 64000u);
    EXPECT_EQ(backoff.onNormalReply(), "polls back to every 1000 ms");
    EXPECT_EQ(backoff.waitMilliseconds(), 1000u);

    // Refusals wait the longest each time they come and say so.
    EXPECT_EQ(backoff.onKiss("DENY"),
              "kiss-o'-death DENY: server refuses this client, next poll in 64000 ms");
    EXPECT_EQ(backoff.onKiss("RSTR"),
              "kiss-o'-death RSTR: server refuses this client, next poll in 64000 ms");
}

TEST(PollBackoff, StaysBoundedForAnyIntervalAndAnHourOfKisses) {
    // Polling without a pause, every 200 ms, hourly, and the largest interval there is.
    for (const std::uint32_t interval : {0u, 200u, 3600000u, 0xFFFFFFFFu}) {
        PollBackoff backoff(interval);
        const std::uint64_t longest = std::max<std::uint64_t>(15000, std::uint64_t{interval} * 64);
        EXPECT_EQ(backoff.longestMilliseconds(), std::min<std::uint64_t>(longest, 0xFFFFFFFEu));
        std::uint64_t simulated = 0;
        int lines = 0;
        for (int poll = 0; poll < 100000 && simulated < 3600000; ++poll) {
            lines += !backoff.onKiss("RATE").empty();
            ASSERT_GE(backoff.waitMilliseconds(), 15000u);
            ASSERT_LE(backoff.waitMilliseconds(), backoff.longestMilliseconds());
            ASSERT_NE(backoff.waitMilliseconds(), 0xFFFFFFFFu); // never an endless wait
            simulated += backoff.waitMilliseconds();
        }
        EXPECT_LE(lines, 32) << interval;
    }
}

TEST(SntpReply, AKissOfDeathCarriesItsCode) {
    std::array<std::uint8_t, 48> reply{};
    const NtpStamp t1(0xE0000000u, 0x12345678u);
    reply[0] = 0xE4; // leap 3, version 4, server
    reply[12] = 'R', reply[13] = 'A', reply[14] = 'T', reply[15] = 0x01;
    NtpStamp::toNetwork(t1, reply.data() + 24);
    const ReplyCheck check = checkSntpReply(reply.data(), reply.size(), t1, true, "peer");
    EXPECT_EQ(check.verdict, ReplyVerdict::kissOfDeath);
    EXPECT_EQ(check.kissCode, "RAT?");
    EXPECT_EQ(check.logLine, "reply rejected: kiss-o'-death RAT?");
}
