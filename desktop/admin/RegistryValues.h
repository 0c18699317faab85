// Reading registry values as Klemora does: a value's type and size first, then the value
// into a buffer of that size.
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

// Owns an open key; closed at scope exit.
class RegistryKey {
public:
    RegistryKey() = default;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    ~RegistryKey() { close(); }
    HKEY* out() {
        close();
        return &key_;
    }
    HKEY get() const { return key_; }
    // Gives the key up, for a caller that closes it itself to learn the result.
    HKEY release() {
        HKEY key = key_;
        key_ = nullptr;
        return key;
    }
    void close() {
        if (key_ != nullptr) {
            RegCloseKey(key_);
            key_ = nullptr;
        }
    }

private:
    HKEY key_ = nullptr;
};
