// Registry value types, as the registry numbers them, for code that must not include windows.h.
#pragma once

#include <cstdint>

namespace registry_type {
constexpr std::uint32_t none = 0;
constexpr std::uint32_t string = 1;       // REG_SZ
constexpr std::uint32_t expandString = 2; // REG_EXPAND_SZ
constexpr std::uint32_t binary = 3;       // REG_BINARY
constexpr std::uint32_t dword = 4;        // REG_DWORD
} // namespace registry_type
