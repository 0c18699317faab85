// Reading registry values as Klemora and the installer do: a value's type and size first, then
// the value into a buffer of that size.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct RegistryValue {
    std::vector<std::uint8_t> data;
    DWORD type;
};

// A value of any type; none when it is missing or cannot be read.
std::optional<RegistryValue> readRegistryValue(HKEY key, const char* name);

struct RegistryText {
    std::string text;
    DWORD type;
};

// A text stored as REG_SZ or REG_EXPAND_SZ, unexpanded; none for any other type. A text stored
// without its terminator still ends.
std::optional<RegistryText> readRegistryText(HKEY key, const char* name);
