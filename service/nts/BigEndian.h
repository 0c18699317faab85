// The 16-bit numbers of the key exchange's records and of NTP's extension fields: network order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace nts {

inline void appendBigEndian16(std::vector<std::uint8_t>& out, std::size_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8 & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

inline std::uint16_t bigEndian16(const std::uint8_t* data) {
    return static_cast<std::uint16_t>(data[0] << 8 | data[1]);
}

} // namespace nts
