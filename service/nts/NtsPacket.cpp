#include "service/nts/NtsPacket.h"

#include "service/nts/BigEndian.h"

#include <algorithm>
#include <optional>

namespace nts {

namespace {

constexpr std::size_t fieldHeaderSize = 4;

std::size_t padded(std::size_t size) {
    return (size + 3) & ~std::size_t{3};
}

struct Field {
    std::uint16_t type;
    std::size_t start; // of its header, from the start of the packet
    std::span<const std::uint8_t> body;
};

// The fields from `at` on; none when a length is no multiple of four or overruns the data.
std::optional<std::vector<Field>> fields(const std::uint8_t* data, std::size_t length,
                                         std::size_t at) {
    std::vector<Field> found;
    while (at < length) {
        if (length - at < fieldHeaderSize) {
            return std::nullopt;
        }
        const std::size_t size = bigEndian16(data + at + 2);
        if (size < fieldHeaderSize || size % 4 != 0 || size > length - at) {
            return std::nullopt;
        }
        found.push_back({static_cast<std::uint16_t>(bigEndian16(data + at)),
                         at,
                         {data + at + fieldHeaderSize, size - fieldHeaderSize}});
        at += size;
    }
    return found;
}

bool isIdentifier(const Field& field, const UniqueIdentifier& id) {
    return field.type == uniqueIdentifierField && field.body.size() == id.size() &&
           std::equal(id.begin(), id.end(), field.body.begin());
}

} // namespace

void appendExtensionField(Bytes& packet, std::uint16_t type, std::span<const std::uint8_t> body) {
    appendBigEndian16(packet, type);
    appendBigEndian16(packet, fieldHeaderSize + padded(body.size()));
    packet.insert(packet.end(), body.begin(), body.end());
    packet.resize(packet.size() + padded(body.size()) - body.size(), 0);
}

bool appendAuthenticator(Bytes& packet, std::span<const std::uint8_t> nonce,
                         std::span<const std::uint8_t> plaintext, const AesSiv& key) {
    const auto sealed = key.seal(nonce, packet, plaintext);
    if (!sealed) {
        return false;
    }
    // Nonce length, ciphertext length, then each padded to four bytes.
    Bytes body;
    appendBigEndian16(body, nonce.size());
    appendBigEndian16(body, sealed->size());
    body.insert(body.end(), nonce.begin(), nonce.end());
    body.resize(padded(body.size()), 0);
    body.insert(body.end(), sealed->begin(), sealed->end());
    body.resize(padded(body.size()), 0);
    appendExtensionField(packet, authenticatorField, body);
    return true;
}

Bytes buildNtsRequest(std::span<const std::uint8_t, ntpHeaderSize> header,
                      const UniqueIdentifier& id, const Bytes& cookie, std::size_t placeholders,
                      const Nonce& nonce, const AesSiv& clientToServer) {
    // A cookie from the key exchange or a reply is never larger; the placeholders ask for the
    // cookies that are missing, no more.
    if (cookie.empty() || cookie.size() > maxCookieSize || placeholders >= maxCookies) {
        return {};
    }
    Bytes packet(header.begin(), header.end());
    appendExtensionField(packet, uniqueIdentifierField, id);
    appendExtensionField(packet, cookieField, cookie);
    const Bytes zeros(cookie.size(), 0);
    for (std::size_t i = 0; i < placeholders; ++i) {
        appendExtensionField(packet, cookiePlaceholderField, zeros);
    }
    // Nothing to encrypt: the server learns all it needs from the plain fields.
    if (!appendAuthenticator(packet, nonce, {}, clientToServer)) {
        return {};
    }
    return packet;
}

NtsReplyCheck checkNtsReply(const std::uint8_t* data, std::size_t length,
                            const UniqueIdentifier& id, const AesSiv& serverToClient) {
    NtsReplyCheck check;
    const auto found = length >= ntpHeaderSize ? fields(data, length, ntpHeaderSize) : std::nullopt;
    if (!found) {
        check.problem = "its extension fields overrun the reply";
        return check;
    }
    const auto identifier =
        std::ranges::find_if(*found, [&id](const Field& field) { return isIdentifier(field, id); });
    const auto authenticator = std::ranges::find_if(
        *found, [](const Field& field) { return field.type == authenticatorField; });
    if (identifier == found->end()) {
        check.problem = "it does not carry the request's unique identifier";
        return check;
    }
    if (authenticator == found->end() || authenticator < identifier) {
        check.problem = "it carries no NTS authenticator over its identifier";
        return check;
    }
    // Nonce length, ciphertext length, then each padded to four bytes.
    const auto body = authenticator->body;
    const std::size_t nonceLength = body.size() >= 4 ? bigEndian16(body.data()) : 0;
    const std::size_t sealedLength = body.size() >= 4 ? bigEndian16(body.data() + 2) : 0;
    if (body.size() < 4 || nonceLength == 0 || sealedLength < AesSiv::tagSize ||
        4 + padded(nonceLength) + padded(sealedLength) > body.size()) {
        check.problem = "its NTS authenticator is malformed";
        return check;
    }
    const auto nonce = body.subspan(4, nonceLength);
    const auto sealed = body.subspan(4 + padded(nonceLength), sealedLength);
    const auto plain = serverToClient.open(
        nonce, std::span<const std::uint8_t>(data, authenticator->start), sealed);
    if (!plain) {
        check.problem = "its NTS authenticator does not verify";
        return check;
    }
    // The encrypted fields: the new cookies. Fields after the authenticator are not
    // authenticated and count for nothing.
    const auto inner = fields(plain->data(), plain->size(), 0);
    if (!inner) {
        check.problem = "its encrypted extension fields are malformed";
        return check;
    }
    for (const Field& field : *inner) {
        if (field.type == cookieField && !field.body.empty() &&
            field.body.size() <= maxCookieSize && check.cookies.size() < maxCookies) {
            check.cookies.emplace_back(field.body.begin(), field.body.end());
        }
    }
    check.authentic = true;
    return check;
}

bool carriesIdentifier(const std::uint8_t* data, std::size_t length, const UniqueIdentifier& id) {
    const auto found = length >= ntpHeaderSize ? fields(data, length, ntpHeaderSize) : std::nullopt;
    return found && std::ranges::any_of(
                        *found, [&id](const Field& field) { return isIdentifier(field, id); });
}

} // namespace nts
