#include "win32/RegistryValues.h"

std::optional<RegistryValue> readRegistryValue(HKEY key, const char* name) {
    DWORD type = 0;
    DWORD size = 0;
    if (key == nullptr ||
        RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    RegistryValue value{std::vector<std::uint8_t>(size), type};
    if (RegQueryValueExA(key, name, nullptr, &value.type, value.data.data(), &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    value.data.resize(size);
    return value;
}

std::optional<RegistryText> readRegistryText(HKEY key, const char* name) {
    auto value = readRegistryValue(key, name);
    if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) {
        return std::nullopt;
    }
    const auto* bytes = reinterpret_cast<const char*>(value->data.data());
    std::string text(bytes, value->data.size());
    text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
    return RegistryText{text, value->type};
}
