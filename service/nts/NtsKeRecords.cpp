#include "service/nts/NtsKeRecords.h"

#include "service/nts/BigEndian.h"

#include <string_view>

namespace nts {

namespace {

enum RecordType : std::uint16_t {
    endOfMessage = 0,
    nextProtocol = 1,
    error = 2,
    warning = 3,
    aeadAlgorithm = 4,
    newCookie = 5,
    serverNegotiation = 6,
    portNegotiation = 7,
};

constexpr std::uint16_t criticalBit = 0x8000;
constexpr std::size_t headerSize = 4;

void putRecord(Bytes& out, std::uint16_t type, std::initializer_list<std::uint16_t> values) {
    appendBigEndian16(out, static_cast<std::uint16_t>(criticalBit | type));
    appendBigEndian16(out, static_cast<std::uint16_t>(values.size() * 2));
    for (const std::uint16_t value : values) {
        appendBigEndian16(out, value);
    }
}

std::string errorName(std::uint16_t code) {
    switch (code) {
    case 0:
        return "0 (unrecognized critical record)";
    case 1:
        return "1 (bad request)";
    case 2:
        return "2 (internal server error)";
    default:
        return std::to_string(code);
    }
}

// A name or address as the record carries it: printable ASCII without blanks.
bool isHostText(const std::uint8_t* body, std::size_t size) {
    if (size == 0 || size > 255) {
        return false;
    }
    for (std::size_t i = 0; i < size; ++i) {
        if (body[i] <= 0x20 || body[i] >= 0x7F) {
            return false;
        }
    }
    return true;
}

} // namespace

Bytes buildKeRequest() {
    Bytes request;
    putRecord(request, nextProtocol, {ntpv4Protocol});
    putRecord(request, aeadAlgorithm, {aesSivCmac256});
    putRecord(request, endOfMessage, {});
    return request;
}

KeResponseReader::State KeResponseReader::fail(std::string problem) {
    state_ = State::failed;
    problem_ = std::move(problem);
    pending_.clear();
    return state_;
}

KeResponseReader::State KeResponseReader::feed(const std::uint8_t* data, std::size_t size) {
    if (state_ == State::failed || size == 0) {
        return state_;
    }
    if (state_ == State::complete) {
        return fail("data after the end of the key exchange's response");
    }
    received_ += size;
    if (received_ > maxResponseSize) {
        return fail("the key exchange's response is longer than 65536 bytes");
    }
    pending_.insert(pending_.end(), data, data + size);
    std::size_t at = 0;
    while (state_ == State::incomplete && pending_.size() - at >= headerSize) {
        const std::uint16_t word = bigEndian16(&pending_[at]);
        const std::size_t length = bigEndian16(&pending_[at + 2]);
        if (pending_.size() - at - headerSize < length) {
            break;
        }
        const bool critical = (word & criticalBit) != 0;
        const auto type = static_cast<std::uint16_t>(word & ~criticalBit);
        if (!take(critical, type, pending_.data() + at + headerSize, length)) {
            return state_;
        }
        at += headerSize + length;
        if (type == endOfMessage) {
            if (at != pending_.size()) {
                return fail("data after the end of the key exchange's response");
            }
            finish();
        }
    }
    if (state_ == State::incomplete) {
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
    } else {
        pending_.clear();
    }
    return state_;
}

bool KeResponseReader::take(bool critical, std::uint16_t type, const std::uint8_t* body,
                            std::size_t size) {
    const auto mustBeCritical = [&](const char* name) {
        if (!critical) {
            fail(std::string("the key exchange's ") + name + " record lacks its critical bit");
        }
        return critical;
    };
    switch (type) {
    case endOfMessage:
        if (!mustBeCritical("end of message")) {
            return false;
        }
        if (size != 0) {
            fail("the key exchange's end of message record is not empty");
            return false;
        }
        return true;
    case nextProtocol:
        if (!mustBeCritical("next protocol")) {
            return false;
        }
        if (protocolSeen_) {
            fail("the key exchange's response names its next protocol twice");
            return false;
        }
        protocolSeen_ = true;
        if (size != 2 || bigEndian16(body) != ntpv4Protocol) {
            fail("the key exchange's server offers no NTPv4");
            return false;
        }
        return true;
    case error:
    case warning:
        if (!mustBeCritical(type == error ? "error" : "warning")) {
            return false;
        }
        if (size != 2) {
            fail("the key exchange's server reports a malformed " +
                 std::string(type == error ? "error" : "warning"));
            return false;
        }
        fail("the key exchange's server reports " +
             std::string(type == error ? "error " : "warning ") + errorName(bigEndian16(body)));
        return false;
    case aeadAlgorithm:
        if (aeadSeen_) {
            fail("the key exchange's response names its algorithm twice");
            return false;
        }
        aeadSeen_ = true;
        if (size != 2 || bigEndian16(body) != aesSivCmac256) {
            fail("the key exchange's server offers no AEAD_AES_SIV_CMAC_256");
            return false;
        }
        return true;
    case newCookie:
        if (size == 0 || size > maxCookieSize) {
            fail("the key exchange's server sent a cookie of " + std::to_string(size) +
                 " bytes (1 to 1024 are usable)");
            return false;
        }
        if (response_.cookies.size() < maxCookies) {
            response_.cookies.emplace_back(body, body + size);
        }
        return true;
    case serverNegotiation:
        if (!response_.server.empty() || !isHostText(body, size)) {
            fail("the key exchange's server names an unusable or second NTP server");
            return false;
        }
        response_.server.assign(reinterpret_cast<const char*>(body), size);
        return true;
    case portNegotiation:
        if (portSeen_ || size != 2 || bigEndian16(body) == 0) {
            fail("the key exchange's server names an unusable or second NTP port");
            return false;
        }
        portSeen_ = true;
        response_.port = bigEndian16(body);
        return true;
    default:
        if (critical) {
            fail("the key exchange's response holds a critical record of unknown type " +
                 std::to_string(type));
            return false;
        }
        return true; // not critical: may be ignored
    }
}

KeResponseReader::State KeResponseReader::finish() {
    if (!protocolSeen_) {
        return fail("the key exchange's response names no next protocol");
    }
    if (!aeadSeen_) {
        return fail("the key exchange's response names no algorithm");
    }
    if (response_.cookies.empty()) {
        return fail("the key exchange's response holds no cookie");
    }
    state_ = State::complete;
    return state_;
}

} // namespace nts
