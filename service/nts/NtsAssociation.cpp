#include "service/nts/NtsAssociation.h"

#include <openssl/rand.h>

#include <algorithm>
#include <cstring>

namespace nts {

Association::Association(const KeResult& exchange)
    : clientToServer_(exchange.clientToServer), serverToClient_(exchange.serverToClient),
      cookies_(exchange.response.cookies.begin(), exchange.response.cookies.end()),
      server_(exchange.response.server), port_(exchange.response.port) {}

Bytes Association::request(std::span<const std::uint8_t, ntpHeaderSize> header) {
    awaiting_ = false;
    if (cookies_.empty()) {
        return {};
    }
    Nonce nonce{};
    if (RAND_bytes(pending_.data(), static_cast<int>(pending_.size())) != 1 ||
        RAND_bytes(nonce.data(), static_cast<int>(nonce.size())) != 1) {
        return {};
    }
    // A cookie goes out once: a second use would let an observer link the requests.
    const Bytes cookie = std::move(cookies_.front());
    cookies_.pop_front();
    // No more placeholders than keep the request (and so the reply, which is no longer) within
    // what the receiver takes.
    const std::size_t padded = (cookie.size() + 3) / 4 * 4;
    const std::size_t base =
        ntpHeaderSize + 4 + uniqueIdentifierSize + 4 + padded + 4 + 4 + nonceSize + AesSiv::tagSize;
    const std::size_t room = base < maxNtsPacketSize ? (maxNtsPacketSize - base) / (4 + padded) : 0;
    const std::size_t placeholders = std::min(maxCookies - 1 - cookies_.size(), room);
    Bytes built = buildNtsRequest(header, pending_, cookie, placeholders, nonce, clientToServer_);
    awaiting_ = !built.empty();
    return built;
}

Association::Reply Association::check(const std::uint8_t* data, std::size_t length,
                                      std::string& problem) {
    if (!awaiting_) {
        problem = "no NTS request is waiting for it";
        return Reply::forged;
    }
    // A kiss-o'-death cannot be authenticated with keys the server no longer has: the
    // identifier alone shows that it answers this request. Anyone who saw the request can
    // send one, so the server's own reply is still awaited.
    if (length >= ntpHeaderSize && data[1] == 0 && std::memcmp(data + 12, "NTSN", 4) == 0 &&
        carriesIdentifier(data, length, pending_)) {
        return Reply::nak;
    }
    NtsReplyCheck reply = checkNtsReply(data, length, pending_, serverToClient_);
    if (!reply.authentic) {
        problem = std::move(reply.problem);
        return Reply::forged;
    }
    awaiting_ = false;
    for (Bytes& cookie : reply.cookies) {
        if (cookies_.size() < maxCookies) {
            cookies_.push_back(std::move(cookie));
        }
    }
    return Reply::authentic;
}

} // namespace nts
