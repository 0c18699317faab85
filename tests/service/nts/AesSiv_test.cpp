#include "service/nts/AesSiv.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes fromHex(const std::string& hex) {
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::array<std::uint8_t, AesSiv::keySize> keyFromHex(const std::string& hex) {
    Bytes bytes = fromHex(hex);
    std::array<std::uint8_t, AesSiv::keySize> key{};
    std::copy(bytes.begin(), bytes.end(), key.begin());
    return key;
}

// RFC 5297, appendix A.2: two associated-data components, then the nonce.
const std::string a2Key = "7f7e7d7c7b7a79787776757473727170404142434445464748494a4b4c4d4e4f";
const Bytes a2Data1 = fromHex("00112233445566778899aabbccddeeffdeaddadadeaddadaffeeddccbbaa9988"
                              "7766554433221100");
const Bytes a2Data2 = fromHex("102030405060708090a0");
const Bytes a2Nonce = fromHex("09f911029d74e35bd84156c5635688c0");
const Bytes a2Plaintext = fromHex("7468697320697320736f6d6520706c61696e7465787420746f20656e63727970"
                                  "74207573696e67205349562d414553");
const Bytes a2Sealed = fromHex("7bdb6e3b432667eb06f4d14bff2fbd0fcb900f2fddbe404326601965c889bf17"
                               "dba77ceb094fa663b7a3f748ba8af829ea64ad544a272e9c485b62a3fd5c0d");

TEST(AesSiv, DeterministicExampleOfRfc5297) {
    AesSiv siv(keyFromHex("fffefdfcfbfaf9f8f7f6f5f4f3f2f1f0f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff"));
    const Bytes data = fromHex("101112131415161718191a1b1c1d1e1f2021222324252627");
    const Bytes plaintext = fromHex("112233445566778899aabbccddee");
    const AesSiv::Bytes components[] = {data};

    const auto sealed = siv.sealComponents(components, plaintext);
    ASSERT_TRUE(sealed);
    EXPECT_EQ(*sealed, fromHex("85632d07c6e8f37f950acd320a2ecc9340c02b9690c4dc04daef7f6afe5c"));
    EXPECT_EQ(siv.openComponents(components, *sealed), plaintext);
}

TEST(AesSiv, NonceBasedExampleOfRfc5297) {
    AesSiv siv(keyFromHex(a2Key));
    const AesSiv::Bytes components[] = {a2Data1, a2Data2, a2Nonce};

    const auto sealed = siv.sealComponents(components, a2Plaintext);
    ASSERT_TRUE(sealed);
    EXPECT_EQ(*sealed, a2Sealed);
    EXPECT_EQ(siv.openComponents(components, a2Sealed), a2Plaintext);
}

// Wycheproof's AEAD-AES-SIV-CMAC vectors take the associated data, then the nonce, as NTS does.
TEST(AesSiv, SealsTheAssociatedDataBeforeTheNonce) {
    AesSiv siv(keyFromHex("cb5575f5c7c45c91cf320b139fb594237560d0a3e6f865a67d4f633f2c08f016"));
    const Bytes nonce = fromHex("1a6518f02ede1da6809266d9");
    const Bytes data = fromHex("89cce9fb47441d07e0245a66fe8b778b");
    const Bytes plaintext = fromHex("623b7850c321e2cf0c6fbcc8dfd1aff2");
    const Bytes expected =
        fromHex("417fbdd7ceb644b75fc380a1839b6de0fd36ffae57f6c269b710560cda8cbf49");

    EXPECT_EQ(siv.seal(nonce, data, plaintext), expected);
    EXPECT_EQ(siv.open(nonce, data, expected), plaintext);
    EXPECT_FALSE(siv.open(data, nonce, expected));
}

// An NTS request with nothing to encrypt: the sealed message is the synthetic IV alone
// (Wycheproof's vector for an empty message and empty associated data).
TEST(AesSiv, SealsAnEmptyPlaintextToItsSyntheticIv) {
    AesSiv siv(keyFromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"));
    const Bytes nonce = fromHex("000102030405060708090a0b");
    const Bytes tag = fromHex("d97b4963718f907a0b297ba1ce7ecf4f");

    EXPECT_EQ(siv.seal(nonce, {}, {}), tag);
    EXPECT_EQ(siv.open(nonce, {}, tag), Bytes());
    // The same key and nonce with a plaintext, through OpenSSL's own AES-SIV.
    EXPECT_EQ(siv.seal(nonce, {}, fromHex("3031323334353637")),
              fromHex("29de88575c46a06218cd215183f5bd51ca91f88d723a4af9"));

    // With NTS's own associated data, both directions agree and nothing else opens.
    Bytes header(48, 0); // an NTP client header
    header[0] = 0x23;
    const auto sealed = siv.seal(nonce, header, {});
    ASSERT_TRUE(sealed);
    EXPECT_EQ(sealed->size(), AesSiv::tagSize);
    EXPECT_EQ(siv.open(nonce, header, *sealed), Bytes());
    Bytes otherHeader = header;
    otherHeader[47] ^= 1;
    EXPECT_FALSE(siv.open(nonce, otherHeader, *sealed));
    Bytes forged = *sealed;
    forged[15] ^= 0x80;
    EXPECT_FALSE(siv.open(nonce, header, forged));
}

TEST(AesSiv, OpensNothingThatWasChanged) {
    AesSiv siv(keyFromHex(a2Key));
    const AesSiv::Bytes components[] = {a2Data1, a2Data2, a2Nonce};

    Bytes tamperedTag = a2Sealed;
    tamperedTag[0] ^= 0x01;
    EXPECT_FALSE(siv.openComponents(components, tamperedTag));

    Bytes tamperedCiphertext = a2Sealed;
    tamperedCiphertext.back() ^= 0x40;
    EXPECT_FALSE(siv.openComponents(components, tamperedCiphertext));

    Bytes otherNonce = a2Nonce;
    otherNonce[0] ^= 0x01;
    const AesSiv::Bytes withOtherNonce[] = {a2Data1, a2Data2, otherNonce};
    EXPECT_FALSE(siv.openComponents(withOtherNonce, a2Sealed));

    const Bytes truncated(a2Sealed.begin(), a2Sealed.begin() + AesSiv::tagSize - 1);
    EXPECT_FALSE(siv.openComponents(components, truncated));
}

} // namespace
