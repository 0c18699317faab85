#include "service/nts/NtsKeRecords.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using nts::Bytes;
using nts::KeResponseReader;

Bytes record(std::uint16_t word, const Bytes& body) {
    Bytes out(4 + body.size());
    out[0] = static_cast<std::uint8_t>(word >> 8);
    out[1] = static_cast<std::uint8_t>(word);
    out[2] = static_cast<std::uint8_t>(body.size() >> 8);
    out[3] = static_cast<std::uint8_t>(body.size());
    std::copy(body.begin(), body.end(), out.begin() + 4);
    return out;
}

Bytes join(const std::vector<Bytes>& parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

const Bytes protocol = record(0x8001, {0, 0});
const Bytes aead = record(0x0004, {0, 15});
const Bytes cookie = record(0x0005, Bytes(100, 0xC0));
const Bytes end = record(0x8000, {});

KeResponseReader read(const Bytes& response) {
    KeResponseReader reader;
    reader.feed(response.data(), response.size());
    return reader;
}

TEST(NtsKeRecords, TheRequestAsksForNtpv4WithAesSivAndEnds) {
    EXPECT_EQ(nts::buildKeRequest(),
              (Bytes{0x80, 1, 0, 2, 0, 0, 0x80, 4, 0, 2, 0, 15, 0x80, 0, 0, 0}));
}

TEST(NtsKeRecords, AResponseReadAByteAtATimeGivesItsCookiesServerAndPort) {
    std::vector<Bytes> parts{protocol, aead};
    for (int i = 0; i < 9; ++i) {
        parts.push_back(record(0x0005, Bytes(64, static_cast<std::uint8_t>(i))));
    }
    parts.push_back(record(0x4321, {1, 2, 3})); // unknown, not critical: ignored
    parts.push_back(record(0x8006, {'t', 'i', 'm', 'e', '.', 'e', 'x'}));
    parts.push_back(record(0x0007, {0x01, 0x7B}));
    parts.push_back(end);
    const Bytes response = join(parts);
    KeResponseReader reader;
    for (std::size_t i = 0; i + 1 < response.size(); ++i) {
        ASSERT_EQ(reader.feed(&response[i], 1), KeResponseReader::State::incomplete) << i;
    }
    ASSERT_EQ(reader.feed(&response.back(), 1), KeResponseReader::State::complete)
        << reader.problem();
    ASSERT_EQ(reader.response().cookies.size(), nts::maxCookies);
    EXPECT_EQ(reader.response().cookies[7], Bytes(64, 7));
    EXPECT_EQ(reader.response().server, "time.ex");
    EXPECT_EQ(reader.response().port, 379);
    // The connection must end with the message.
    const std::uint8_t more = 0;
    EXPECT_EQ(reader.feed(&more, 1), KeResponseReader::State::failed);

    const KeResponseReader plain = read(join({protocol, aead, cookie, end}));
    EXPECT_EQ(plain.state(), KeResponseReader::State::complete);
    EXPECT_EQ(plain.response().server, "");
    EXPECT_EQ(plain.response().port, nts::ntpDefaultPort);
}

TEST(NtsKeRecords, EveryFaultyResponseFailsWithItsReason) {
    const struct {
        Bytes response;
        const char* problem;
    } cases[] = {
        {join({protocol, record(0x8002, {0, 1}), end}), "reports error 1 (bad request)"},
        {join({protocol, aead, record(0x8003, {0, 9}), cookie, end}), "reports warning 9"},
        {join({protocol, aead, cookie, record(0x8123, {}), end}), "critical record of unknown"},
        {join({protocol, aead, cookie, record(0x0000, {})}), "end of message record lacks"},
        {join({record(0x0001, {0, 0}), aead, cookie, end}), "next protocol record lacks"},
        {join({protocol, protocol, aead, cookie, end}), "next protocol twice"},
        {join({record(0x8001, {}), aead, cookie, end}), "offers no NTPv4"},
        {join({protocol, record(0x0004, {0, 16}), cookie, end}), "no AEAD_AES_SIV_CMAC_256"},
        {join({protocol, aead, end}), "holds no cookie"},
        {join({aead, cookie, end}), "names no next protocol"},
        {join({protocol, cookie, end}), "names no algorithm"},
        {join({protocol, aead, record(0x0005, {}), end}), "cookie of 0 bytes"},
        {join({protocol, aead, record(0x0005, Bytes(1025, 1)), end}), "cookie of 1025 bytes"},
        {join({protocol, aead, cookie, record(0x0007, {0}), end}), "unusable or second NTP port"},
        {join({protocol, aead, cookie, record(0x0007, {0, 1}), record(0x0007, {0, 2}), end}),
         "unusable or second NTP port"},
        {join({protocol, aead, cookie, record(0x0006, {'a', ' ', 'b'}), end}), "unusable or"},
        {join({protocol, aead, cookie, end, end}), "data after the end"},
        {join({protocol, aead, record(0x0005, Bytes(65535, 1)), end}), "longer than 65536"},
    };
    for (const auto& c : cases) {
        const KeResponseReader reader = read(c.response);
        EXPECT_EQ(reader.state(), KeResponseReader::State::failed) << c.problem;
        EXPECT_NE(reader.problem().find(c.problem), std::string::npos)
            << c.problem << " / " << reader.problem();
    }
    // Cut short: still waiting, which the connection's end or deadline turns into a failure.
    const Bytes whole = join({protocol, aead, cookie, end});
    const KeResponseReader cut = read(Bytes(whole.begin(), whole.end() - 1));
    EXPECT_EQ(cut.state(), KeResponseReader::State::incomplete);
}

} // namespace
