// AEAD_AES_SIV_CMAC_256 (RFC 5297), the AEAD of NTS (RFC 8915): a 32-byte key (the S2V key, then
// the CTR key), associated data in components, the nonce as the last of them. A sealed message is
// the 16-byte synthetic IV followed by the ciphertext, as long as the plaintext.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

class AesSiv {
public:
    static constexpr std::size_t keySize = 32;
    static constexpr std::size_t tagSize = 16;
    using Bytes = std::span<const std::uint8_t>;

    explicit AesSiv(std::span<const std::uint8_t, keySize> key);
    // Wipes the key.
    ~AesSiv();
    AesSiv(const AesSiv&) = delete;
    AesSiv& operator=(const AesSiv&) = delete;

    // As NTS seals its extension fields: the associated data, then the nonce. None when the
    // library fails.
    std::optional<std::vector<std::uint8_t>> seal(Bytes nonce, Bytes associatedData,
                                                  Bytes plaintext) const;
    // The plaintext, or none when the message was not sealed with this key, nonce and data.
    std::optional<std::vector<std::uint8_t>> open(Bytes nonce, Bytes associatedData,
                                                  Bytes sealed) const;

    // The general form: any number of associated-data components, in order.
    std::optional<std::vector<std::uint8_t>> sealComponents(std::span<const Bytes> components,
                                                            Bytes plaintext) const;
    std::optional<std::vector<std::uint8_t>> openComponents(std::span<const Bytes> components,
                                                            Bytes sealed) const;

private:
    std::array<std::uint8_t, keySize> key_;
};
