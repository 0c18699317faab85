// A reply to an NTS request: either the input as it stands after a header, which must never
// be authentic (it cannot know the key), or an authentic reply made from the input's cookies
// with one byte changed, which must then fail, and unchanged must pass with those cookies.
//
// Input: a mode byte (bit 0: make an authentic reply), then for a raw reply the rest as the
// bytes after the 48-byte header; for a made one the count of cookies (byte, at most 10), each
// a length byte and bytes, then the place (word, little-endian) and value (byte) of the change.
#include "fuzz/FuzzInput.h"
#include "service/nts/NtsPacket.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

std::array<std::uint8_t, AesSiv::keySize> filled(std::uint8_t value) {
    std::array<std::uint8_t, AesSiv::keySize> key{};
    key.fill(value);
    return key;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const AesSiv key(filled(0x5A));
    nts::UniqueIdentifier id{};
    id.fill(0x42);
    FuzzInput input(data, size);
    const bool made = (input.byte() & 1) != 0;
    nts::Bytes reply(nts::ntpHeaderSize, 0);
    if (!made) {
        const std::string rest = input.rest();
        reply.insert(reply.end(), rest.begin(), rest.end());
        const auto check = nts::checkNtsReply(reply.data(), reply.size(), id, key);
        FUZZ_CHECK(!check.authentic && !check.problem.empty() && check.cookies.empty());
        nts::carriesIdentifier(reply.data(), reply.size(), id);
        return 0;
    }
    nts::appendExtensionField(reply, nts::uniqueIdentifierField, id);
    std::vector<nts::Bytes> cookies;
    nts::Bytes plain;
    const unsigned count = input.byte() % 11;
    for (unsigned i = 0; i < count; ++i) {
        const std::string text = input.shortText();
        const nts::Bytes cookie(text.begin(), text.end());
        nts::appendExtensionField(plain, nts::cookieField, cookie);
        cookies.push_back(cookie);
    }
    FUZZ_CHECK(nts::appendAuthenticator(reply, nts::Bytes(16, 0x17), plain, key));

    const auto good = nts::checkNtsReply(reply.data(), reply.size(), id, key);
    FUZZ_CHECK(good.authentic);
    std::size_t kept = 0;
    for (const nts::Bytes& cookie : cookies) {
        // Padded to four bytes as the field carries it; empty ones are no cookies.
        if (cookie.empty() || kept == nts::maxCookies) {
            continue;
        }
        const nts::Bytes& got = good.cookies.at(kept++);
        FUZZ_CHECK(got.size() == ((cookie.size() + 3) & ~std::size_t{3}));
        FUZZ_CHECK(std::equal(cookie.begin(), cookie.end(), got.begin()));
    }
    FUZZ_CHECK(good.cookies.size() == kept);

    const std::size_t place = input.word();
    const std::uint8_t change = input.byte();
    if (place < reply.size() && change != 0) {
        reply[place] ^= change;
        FUZZ_CHECK(!nts::checkNtsReply(reply.data(), reply.size(), id, key).authentic);
    }
    return 0;
}
