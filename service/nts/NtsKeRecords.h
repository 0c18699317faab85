// The records of the NTS key exchange (RFC 8915, section 4): the client's request, and a reader
// that takes the server's response as it arrives over TLS and judges it. Portable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace nts {

constexpr std::uint16_t keDefaultPort = 4460;
constexpr std::uint16_t ntpDefaultPort = 123;
constexpr std::uint16_t ntpv4Protocol = 0;
constexpr std::uint16_t aesSivCmac256 = 15;
// Cookies kept from one exchange, each used once.
constexpr std::size_t maxCookies = 8;
// A cookie goes into every request, and as many placeholders as cookies are missing: larger
// ones would not fit a datagram that every path carries.
constexpr std::size_t maxCookieSize = 1024;
// A response longer than this is no key exchange.
constexpr std::size_t maxResponseSize = 65536;

using Bytes = std::vector<std::uint8_t>;

// Next protocol NTPv4, AEAD_AES_SIV_CMAC_256, end of message.
Bytes buildKeRequest();

struct KeResponse {
    std::vector<Bytes> cookies; // at most maxCookies
    std::string server;         // the NTP server the response names; empty: the same host
    std::uint16_t port = ntpDefaultPort;
};

class KeResponseReader {
public:
    enum class State { incomplete, complete, failed };

    // Takes the next bytes of the response. Once complete or failed, further bytes fail it.
    State feed(const std::uint8_t* data, std::size_t size);
    State state() const { return state_; }
    // Why it failed, as the log says it.
    const std::string& problem() const { return problem_; }
    const KeResponse& response() const { return response_; }

private:
    State fail(std::string problem);
    // Judges one whole record; false when it failed the response.
    bool take(bool critical, std::uint16_t type, const std::uint8_t* body, std::size_t size);
    State finish();

    State state_ = State::incomplete;
    std::string problem_;
    Bytes pending_;
    std::size_t received_ = 0;
    KeResponse response_;
    bool protocolSeen_ = false;
    bool aeadSeen_ = false;
    bool portSeen_ = false;
};

} // namespace nts
