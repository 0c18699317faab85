#include "service/nts/NtsPacket.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

namespace {

using nts::Bytes;

std::array<std::uint8_t, AesSiv::keySize> key(std::uint8_t fill) {
    std::array<std::uint8_t, AesSiv::keySize> bytes{};
    bytes.fill(fill);
    return bytes;
}

// A server's reply as RFC 8915 builds it: the identifier in the clear, the cookies sealed.
Bytes serverReply(const nts::UniqueIdentifier& id, const std::vector<Bytes>& cookies,
                  const AesSiv& serverToClient) {
    Bytes packet(nts::ntpHeaderSize, 0);
    packet[0] = 0x24;
    nts::appendExtensionField(packet, nts::uniqueIdentifierField, id);
    Bytes plain;
    for (const Bytes& cookie : cookies) {
        nts::appendExtensionField(plain, nts::cookieField, cookie);
    }
    EXPECT_TRUE(nts::appendAuthenticator(packet, Bytes(16, 0xAB), plain, serverToClient));
    return packet;
}

TEST(NtsPacket, TheRequestCarriesItsFieldsAndAnAuthenticatorTheServerKeyOpens) {
    const AesSiv c2s(key(1));
    std::array<std::uint8_t, nts::ntpHeaderSize> header{};
    header[0] = 0x23;
    nts::UniqueIdentifier id{};
    id.fill(0x11);
    nts::Nonce nonce{};
    nonce.fill(0x22);
    const Bytes cookie(70, 0xC0); // padded to 72
    const Bytes request = nts::buildNtsRequest(header, id, cookie, 2, nonce, c2s);
    // Header, identifier (36), cookie and two placeholders (76 each), authenticator (4 + 4 +
    // 16 + 16).
    ASSERT_EQ(request.size(), 48u + 36 + 3 * 76 + 40);
    EXPECT_EQ(request[48], 0x01);
    EXPECT_EQ(request[49], 0x04);
    EXPECT_EQ(request[48 + 36 + 76 + 1], 0x04); // a placeholder, of the cookie's length
    EXPECT_EQ(request[48 + 36 + 76 + 3], 76);
    const std::size_t authenticator = request.size() - 40;
    EXPECT_EQ(request[authenticator + 1], 0x04);
    // The server opens it with the same key over everything before the authenticator.
    const auto opened = c2s.open(std::span(request).subspan(authenticator + 8, 16),
                                 std::span(request).first(authenticator),
                                 std::span(request).subspan(authenticator + 24, 16));
    ASSERT_TRUE(opened.has_value());
    EXPECT_TRUE(opened->empty());
    // No request that would not fit a datagram that every path carries.
    EXPECT_TRUE(nts::buildNtsRequest(header, id, Bytes(1025, 1), 0, nonce, c2s).empty());
    EXPECT_TRUE(nts::buildNtsRequest(header, id, {}, 0, nonce, c2s).empty());
    EXPECT_TRUE(nts::buildNtsRequest(header, id, cookie, nts::maxCookies, nonce, c2s).empty());
}

TEST(NtsPacket, OnlyAnAuthenticReplyToThisRequestCountsAndGivesItsCookies) {
    const AesSiv s2c(key(2));
    nts::UniqueIdentifier id{};
    id.fill(0x33);
    const Bytes reply = serverReply(id, {Bytes(64, 1), Bytes(64, 2)}, s2c);
    const auto good = nts::checkNtsReply(reply.data(), reply.size(), id, s2c);
    ASSERT_TRUE(good.authentic) << good.problem;
    EXPECT_EQ(good.cookies, (std::vector<Bytes>{Bytes(64, 1), Bytes(64, 2)}));
    EXPECT_TRUE(nts::carriesIdentifier(reply.data(), reply.size(), id));

    const auto problem = [&](Bytes packet, const nts::UniqueIdentifier& expected,
                             const AesSiv& with) {
        const auto check = nts::checkNtsReply(packet.data(), packet.size(), expected, with);
        EXPECT_FALSE(check.authentic);
        EXPECT_TRUE(check.cookies.empty());
        return check.problem;
    };
    Bytes flipped = reply;
    flipped.at(flipped.size() - 5) ^= 0x01; // in the sealed cookies
    EXPECT_EQ(problem(flipped, id, s2c), "its NTS authenticator does not verify");
    Bytes header = reply;
    header[1] ^= 0x01; // the stratum, which the authenticator covers
    EXPECT_EQ(problem(header, id, s2c), "its NTS authenticator does not verify");
    EXPECT_EQ(problem(reply, id, AesSiv(key(3))), "its NTS authenticator does not verify");
    nts::UniqueIdentifier other = id;
    other[31] ^= 0x01;
    EXPECT_EQ(problem(reply, other, s2c), "it does not carry the request's unique identifier");
    EXPECT_FALSE(nts::carriesIdentifier(reply.data(), reply.size(), other));
    Bytes overrun = reply;
    overrun[48 + 3] = 200; // the identifier's length runs past the end
    EXPECT_EQ(problem(overrun, id, s2c), "its extension fields overrun the reply");
    Bytes odd = reply;
    odd[48 + 3] = 37;
    EXPECT_EQ(problem(odd, id, s2c), "its extension fields overrun the reply");
    EXPECT_EQ(problem(Bytes(reply.begin(), reply.begin() + 48 + 36), id, s2c),
              "it carries no NTS authenticator over its identifier");
    Bytes lengths = reply;
    lengths[48 + 36 + 6] = 0xFF; // a ciphertext length beyond the field
    EXPECT_EQ(problem(lengths, id, s2c), "its NTS authenticator is malformed");
}

} // namespace
