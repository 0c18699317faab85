#include "service/nts/AesSiv.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <algorithm>
#include <climits>
#include <memory>

namespace {

using Block = std::array<std::uint8_t, AesSiv::tagSize>;

struct CipherFree {
    void operator()(EVP_CIPHER* cipher) const { EVP_CIPHER_free(cipher); }
};
struct CipherContextFree {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
struct MacFree {
    void operator()(EVP_MAC* mac) const { EVP_MAC_free(mac); }
};
struct MacContextFree {
    void operator()(EVP_MAC_CTX* context) const { EVP_MAC_CTX_free(context); }
};
using Cipher = std::unique_ptr<EVP_CIPHER, CipherFree>;
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;
using Mac = std::unique_ptr<EVP_MAC, MacFree>;
using MacContext = std::unique_ptr<EVP_MAC_CTX, MacContextFree>;

bool fitsInt(std::size_t size) {
    return size <= static_cast<std::size_t>(INT_MAX);
}

bool componentsFit(std::span<const AesSiv::Bytes> components) {
    for (AesSiv::Bytes component : components) {
        if (!fitsInt(component.size())) {
            return false;
        }
    }
    return true;
}

// OpenSSL reads a null input as the end of the message, so an empty component needs an address.
const unsigned char* addressOf(AesSiv::Bytes bytes) {
    static const unsigned char none = 0;
    return bytes.empty() ? &none : bytes.data();
}

// dbl() of RFC 5297: multiplication by x in GF(2^128), without a branch on the secret bit.
Block doubled(const Block& block) {
    Block result{};
    for (std::size_t i = 0; i + 1 < block.size(); ++i) {
        result[i] = static_cast<std::uint8_t>((block[i] << 1) | (block[i + 1] >> 7));
    }
    result[15] = static_cast<std::uint8_t>((block[15] << 1) ^ (0x87 & (0 - (block[0] >> 7))));
    return result;
}

// AES-CMAC under the S2V key.
std::optional<Block> cmac(EVP_MAC* mac, const std::uint8_t* key, AesSiv::Bytes data) {
    MacContext context(EVP_MAC_CTX_new(mac));
    char cipherName[] = "AES-128-CBC";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, cipherName, 0),
        OSSL_PARAM_construct_end(),
    };
    Block result{};
    std::size_t length = 0;
    if (!context || !EVP_MAC_init(context.get(), key, AesSiv::keySize / 2, params) ||
        !EVP_MAC_update(context.get(), data.data(), data.size()) ||
        !EVP_MAC_final(context.get(), result.data(), &length, result.size()) ||
        length != result.size()) {
        return std::nullopt;
    }
    return result;
}

// The synthetic IV of an empty plaintext, by S2V itself: OpenSSL 3.0's AES-SIV produces no tag
// for a message without plaintext, and an NTS request often has nothing to encrypt.
std::optional<Block> syntheticIvOfNothing(const std::uint8_t* key,
                                          std::span<const AesSiv::Bytes> components) {
    Mac mac(EVP_MAC_fetch(nullptr, "CMAC", nullptr));
    if (!mac) {
        return std::nullopt;
    }
    const Block zero{};
    std::optional<Block> d = cmac(mac.get(), key, zero);
    for (AesSiv::Bytes component : components) {
        std::optional<Block> macOfComponent = cmac(mac.get(), key, component);
        if (!d || !macOfComponent) {
            return std::nullopt;
        }
        d = doubled(*d);
        for (std::size_t i = 0; i < d->size(); ++i) {
            (*d)[i] ^= (*macOfComponent)[i];
        }
    }
    if (!d) {
        return std::nullopt;
    }
    Block last = doubled(*d);
    last[0] ^= 0x80; // the padding of the empty string
    return cmac(mac.get(), key, last);
}

// A context of OpenSSL's AES-SIV with the key and every associated-data component given.
CipherContext started(const std::uint8_t* key, std::span<const AesSiv::Bytes> components,
                      bool encrypt, const std::uint8_t* tag) {
    Cipher cipher(EVP_CIPHER_fetch(nullptr, "AES-128-SIV", nullptr));
    CipherContext context(EVP_CIPHER_CTX_new());
    if (!cipher || !context ||
        !EVP_CipherInit_ex2(context.get(), cipher.get(), key, nullptr, encrypt ? 1 : 0, nullptr)) {
        return nullptr;
    }
    // Decryption needs the tag first: it is the counter's start.
    if (tag != nullptr &&
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_AEAD_SET_TAG, static_cast<int>(AesSiv::tagSize),
                            const_cast<std::uint8_t*>(tag)) <= 0) {
        return nullptr;
    }
    for (AesSiv::Bytes component : components) {
        int length = 0;
        if (!EVP_CipherUpdate(context.get(), nullptr, &length, addressOf(component),
                              static_cast<int>(component.size()))) {
            return nullptr;
        }
    }
    return context;
}

} // namespace

AesSiv::AesSiv(std::span<const std::uint8_t, keySize> key) {
    std::copy(key.begin(), key.end(), key_.begin());
}

AesSiv::~AesSiv() {
    OPENSSL_cleanse(key_.data(), key_.size());
}

std::optional<std::vector<std::uint8_t>> AesSiv::seal(Bytes nonce, Bytes associatedData,
                                                      Bytes plaintext) const {
    const Bytes components[] = {associatedData, nonce};
    return sealComponents(components, plaintext);
}

std::optional<std::vector<std::uint8_t>> AesSiv::open(Bytes nonce, Bytes associatedData,
                                                      Bytes sealed) const {
    const Bytes components[] = {associatedData, nonce};
    return openComponents(components, sealed);
}

std::optional<std::vector<std::uint8_t>> AesSiv::sealComponents(std::span<const Bytes> components,
                                                                Bytes plaintext) const {
    if (!componentsFit(components) || !fitsInt(plaintext.size())) {
        return std::nullopt;
    }
    if (plaintext.empty()) {
        std::optional<Block> iv = syntheticIvOfNothing(key_.data(), components);
        if (!iv) {
            return std::nullopt;
        }
        return std::vector<std::uint8_t>(iv->begin(), iv->end());
    }
    CipherContext context = started(key_.data(), components, true, nullptr);
    std::vector<std::uint8_t> sealed(tagSize + plaintext.size());
    int length = 0;
    int finalLength = 0;
    if (!context ||
        !EVP_EncryptUpdate(context.get(), sealed.data() + tagSize, &length, plaintext.data(),
                           static_cast<int>(plaintext.size())) ||
        !EVP_EncryptFinal_ex(context.get(), sealed.data() + tagSize + length, &finalLength) ||
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_AEAD_GET_TAG, static_cast<int>(tagSize),
                            sealed.data()) <= 0) {
        return std::nullopt;
    }
    return sealed;
}

std::optional<std::vector<std::uint8_t>> AesSiv::openComponents(std::span<const Bytes> components,
                                                                Bytes sealed) const {
    if (sealed.size() < tagSize || !componentsFit(components) || !fitsInt(sealed.size())) {
        return std::nullopt;
    }
    if (sealed.size() == tagSize) {
        std::optional<Block> iv = syntheticIvOfNothing(key_.data(), components);
        if (!iv || CRYPTO_memcmp(iv->data(), sealed.data(), tagSize) != 0) {
            return std::nullopt;
        }
        return std::vector<std::uint8_t>();
    }
    CipherContext context = started(key_.data(), components, false, sealed.data());
    Bytes ciphertext = sealed.subspan(tagSize);
    std::vector<std::uint8_t> plaintext(ciphertext.size());
    int length = 0;
    int finalLength = 0;
    // The update compares the tag; the final call reports it.
    if (!context ||
        !EVP_DecryptUpdate(context.get(), plaintext.data(), &length, ciphertext.data(),
                           static_cast<int>(ciphertext.size())) ||
        !EVP_DecryptFinal_ex(context.get(), plaintext.data() + length, &finalLength)) {
        OPENSSL_cleanse(plaintext.data(), plaintext.size());
        return std::nullopt;
    }
    return plaintext;
}
