// The NTS extension fields of an NTP exchange (RFC 8915, section 5): a request that carries a
// unique identifier, a cookie, placeholders for further cookies and an authenticator, and the
// check of a reply against them. Portable.
#pragma once

#include "service/nts/AesSiv.h"
#include "service/nts/NtsKeRecords.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace nts {

constexpr std::uint16_t uniqueIdentifierField = 0x0104;
constexpr std::uint16_t cookieField = 0x0204;
constexpr std::uint16_t cookiePlaceholderField = 0x0304;
constexpr std::uint16_t authenticatorField = 0x0404;
constexpr std::size_t uniqueIdentifierSize = 32;
constexpr std::size_t nonceSize = 16;
constexpr std::size_t ntpHeaderSize = 48;

using UniqueIdentifier = std::array<std::uint8_t, uniqueIdentifierSize>;
using Nonce = std::array<std::uint8_t, nonceSize>;

// A field as RFC 7822 lays it out: type, length, the body and zeros up to a multiple of four.
void appendExtensionField(Bytes& packet, std::uint16_t type, std::span<const std::uint8_t> body);

// The authenticator over everything in packet so far, with plaintext sealed in it (the
// encrypted fields: none in a request, the new cookies in a reply). False when the key's
// library fails.
bool appendAuthenticator(Bytes& packet, std::span<const std::uint8_t> nonce,
                         std::span<const std::uint8_t> plaintext, const AesSiv& key);

// The 48-byte header followed by the fields; the authenticator seals them with the
// client-to-server key. Empty for a cookie of no or more than maxCookieSize bytes, for
// maxCookies placeholders or more, or when the key's library fails.
Bytes buildNtsRequest(std::span<const std::uint8_t, ntpHeaderSize> header,
                      const UniqueIdentifier& id, const Bytes& cookie, std::size_t placeholders,
                      const Nonce& nonce, const AesSiv& clientToServer);

struct NtsReplyCheck {
    bool authentic = false;
    std::string problem;        // why not, as the log says it
    std::vector<Bytes> cookies; // the new cookies from its encrypted fields
};

// A reply of `length` bytes: authentic when it carries the request's unique identifier and an
// authenticator that the server-to-client key opens over everything before it.
NtsReplyCheck checkNtsReply(const std::uint8_t* data, std::size_t length,
                            const UniqueIdentifier& id, const AesSiv& serverToClient);

// Whether a reply (a kiss-o'-death, which is not authenticated) carries the identifier: one
// without it is no answer to this request.
bool carriesIdentifier(const std::uint8_t* data, std::size_t length, const UniqueIdentifier& id);

} // namespace nts
