// The cookies of an association: each goes out once, placeholders ask for the missing ones, an
// authentic reply brings them, a replay or a reply to another request is forged, an NTS NAK
// that answers this request does not end the wait, and no request outgrows the receiver.
#include "service/nts/NtsAssociation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace {

using nts::Bytes;

nts::KeResult exchanged(std::size_t cookies) {
    nts::KeResult result;
    result.ok = true;
    result.clientToServer.fill(1);
    result.serverToClient.fill(2);
    for (std::size_t i = 0; i < cookies; ++i) {
        result.response.cookies.push_back(Bytes(40, static_cast<std::uint8_t>(i)));
    }
    return result;
}

// The server's side: the request's identifier, and a reply with `cookies` new ones.
Bytes reply(const Bytes& request, std::size_t cookies, bool nak = false) {
    Bytes packet(nts::ntpHeaderSize, 0);
    packet[0] = 0x24;
    if (nak) {
        std::memcpy(packet.data() + 12, "NTSN", 4);
    }
    nts::appendExtensionField(packet, nts::uniqueIdentifierField,
                              std::span(request).subspan(nts::ntpHeaderSize + 4, 32));
    if (!nak) {
        Bytes plain;
        for (std::size_t i = 0; i < cookies; ++i) {
            nts::appendExtensionField(plain, nts::cookieField, Bytes(40, 0xE0));
        }
        const AesSiv serverToClient(exchanged(0).serverToClient);
        EXPECT_TRUE(nts::appendAuthenticator(packet, Bytes(16, 3), plain, serverToClient));
    }
    return packet;
}

// The cookie a request carries: the field after the identifier's.
Bytes cookieOf(const Bytes& request) {
    const std::size_t at = nts::ntpHeaderSize + 36;
    return Bytes(request.begin() + at + 4, request.begin() + at + 44);
}

} // namespace

TEST(NtsAssociation, EachCookieGoesOutOnceAndAuthenticRepliesBringNewOnes) {
    nts::Association association(exchanged(8));
    const std::array<std::uint8_t, nts::ntpHeaderSize> header{0x23};
    std::string problem;
    const Bytes first = association.request(header);
    EXPECT_EQ(cookieOf(first), Bytes(40, 0));
    EXPECT_EQ(first.size(), 48u + 36 + 44 + 40); // all 7 others still kept: no placeholder
    EXPECT_EQ(association.check(first.data(), first.size(), problem),
              nts::Association::Reply::forged); // its own request is no reply
    const Bytes answer = reply(first, 1);
    EXPECT_EQ(association.check(answer.data(), answer.size(), problem),
              nts::Association::Reply::authentic);
    EXPECT_EQ(association.cookies(), 8u);
    // A replay of that reply answers no request.
    EXPECT_EQ(association.check(answer.data(), answer.size(), problem),
              nts::Association::Reply::forged);

    // Silence costs a cookie each time; placeholders ask for what is missing, and no more than
    // eight are kept whatever the server sends.
    for (std::uint8_t i = 1; i < 7; ++i) {
        EXPECT_EQ(cookieOf(association.request(header)), Bytes(40, i));
    }
    const Bytes lean = association.request(header);
    EXPECT_EQ(lean.size(), 48u + 36 + 44 * 7 + 40);
    EXPECT_EQ(association.check(answer.data(), answer.size(), problem),
              nts::Association::Reply::forged); // for another request
    const Bytes generous = reply(lean, 12);
    EXPECT_EQ(association.check(generous.data(), generous.size(), problem),
              nts::Association::Reply::authentic);
    EXPECT_EQ(association.cookies(), 8u);
}

TEST(NtsAssociation, ANakIsNoReplyAndTheRequestsFitTheReceiver) {
    nts::Association association(exchanged(2));
    const std::array<std::uint8_t, nts::ntpHeaderSize> header{0x23};
    std::string problem;
    const Bytes older = association.request(header);
    const Bytes request = association.request(header);
    const Bytes stale = reply(older, 0, true);
    EXPECT_EQ(association.check(stale.data(), stale.size(), problem),
              nts::Association::Reply::forged);
    // Anyone who saw the request can send a NAK: the server's own reply still counts after it.
    const Bytes nak = reply(request, 0, true);
    EXPECT_EQ(association.check(nak.data(), nak.size(), problem), nts::Association::Reply::nak);
    const Bytes answer = reply(request, 7);
    EXPECT_EQ(association.check(answer.data(), answer.size(), problem),
              nts::Association::Reply::authentic);
    EXPECT_EQ(association.cookies(), 7u);

    // Cookies of the largest size: no more placeholders than keep the request within what the
    // receiver takes, also where seven cookies are missing.
    nts::KeResult large = exchanged(0);
    large.response.cookies.assign(1, Bytes(nts::maxCookieSize, 7));
    nts::Association few(large);
    const Bytes big = few.request(header);
    EXPECT_LE(big.size(), nts::maxNtsPacketSize);
    EXPECT_GT(big.size() + 4 + nts::maxCookieSize, nts::maxNtsPacketSize);
}
