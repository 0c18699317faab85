// What one NTS key exchange gave for a server: the two keys and the cookies of the NTP
// exchanges that follow, each cookie used once, with the new ones that authentic replies bring.
// Portable.
#pragma once

#include "service/nts/AesSiv.h"
#include "service/nts/NtsKeClient.h"
#include "service/nts/NtsPacket.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <string>

namespace nts {

// The largest request, and so the largest reply, of an NTS exchange: what a receiver takes.
constexpr std::size_t maxNtsPacketSize = 2048;

class Association {
public:
    // From a key exchange that succeeded.
    explicit Association(const KeResult& exchange);
    Association(const Association&) = delete;
    Association& operator=(const Association&) = delete;

    // The NTP server that the exchange named (empty: the key exchange's own host), its port.
    const std::string& server() const { return server_; }
    std::uint16_t port() const { return port_; }
    std::size_t cookies() const { return cookies_.size(); }

    // A request around the header with a new unique identifier, the oldest cookie (spent
    // whatever comes of it) and placeholders for the cookies missing. Empty without a cookie,
    // or when the library has no randomness or fails.
    Bytes request(std::span<const std::uint8_t, ntpHeaderSize> header);

    enum class Reply {
        authentic, // the server's own answer to the last request; its new cookies are kept
        nak,       // an NTS NAK to the last request (unauthenticated): the server's reply may
                   // still come; where none does, the cookies are no use any more
        forged,    // neither
    };
    // A datagram received for the last request; problem says why it is forged.
    Reply check(const std::uint8_t* data, std::size_t length, std::string& problem);

private:
    AesSiv clientToServer_;
    AesSiv serverToClient_;
    std::deque<Bytes> cookies_;
    std::string server_;
    std::uint16_t port_;
    UniqueIdentifier pending_{};
    bool awaiting_ = false;
};

} // namespace nts
