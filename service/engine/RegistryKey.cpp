#include "service/engine/RegistryKey.h"

#include "service/errors/BaseException.h"

#include <cstring>
#include <limits>
#include <vector>

namespace {

constexpr long success = 0;

const char* const missingKey = "missing registry key";
const char* const missingEntry = "missing registry entry";
const char* const unexpectedFormat = "unexpected format registry value";
const char* const expansionFailed = "unable to expand environment variables in registry";

bool isString(std::uint32_t type) {
    return type == registry_type::string;
}

bool isStringOrExpandString(std::uint32_t type) {
    return type == registry_type::string || type == registry_type::expandString;
}

// The text up to the first NUL, never beyond the bytes the registry returned: stored strings
// need not be terminated.
std::string textOf(const std::vector<char>& buffer, std::uint32_t returnedSize) {
    const std::size_t limit = returnedSize < buffer.size() ? returnedSize : buffer.size();
    const void* nul = limit == 0 ? nullptr : std::memchr(buffer.data(), '\0', limit);
    const std::size_t length =
        nul == nullptr ? limit
                       : static_cast<std::size_t>(static_cast<const char*>(nul) - buffer.data());
    return std::string(buffer.data(), length);
}

// Reads a text value whose type satisfies accepted, and reports that type through type.
std::string readText(RegistryHandle key, const char* name, bool (*accepted)(std::uint32_t),
                     std::uint32_t& type) {
    type = registry_type::none;
    std::uint32_t size = 0;
    if (registryQueryValue(key, name, &type, nullptr, &size) != success)
        throw SimpleException(missingEntry);
    if (!accepted(type))
        throw SimpleException(unexpectedFormat);

    std::vector<char> buffer(size);
    std::uint32_t returnedSize = size;
    // An empty value still gets a real buffer pointer, so the second call reads data, not size.
    char empty = '\0';
    char* data = buffer.empty() ? &empty : buffer.data();
    if (registryQueryValue(key, name, &type, reinterpret_cast<std::uint8_t*>(data),
                           &returnedSize) != success)
        throw SimpleException(missingEntry);
    if (!accepted(type))
        throw SimpleException(unexpectedFormat);
    return textOf(buffer, returnedSize);
}

} // namespace

RegistryKey::RegistryKey(RegistryHandle parent, const char* subKey) : handle_(nullptr) {
    RegistryHandle opened = nullptr;
    if (registryOpenKey(parent, subKey, &opened) != success)
        throw SimpleException(missingKey);
    handle_ = opened;
}

void RegistrySubKey::close() {
    if (handle_ == nullptr)
        return;
    const RegistryHandle closing = handle_;
    handle_ = nullptr;
    registryCloseKey(closing);
}

std::uint32_t RegistryKey::readDword(const char* name) const {
    // Zeroed, so a REG_DWORD stored with fewer than four bytes reads as those bytes, not junk.
    std::uint8_t buffer[4] = {};
    std::uint32_t type = registry_type::none;
    std::uint32_t size = sizeof buffer;
    if (registryQueryValue(handle_, name, &type, buffer, &size) != success)
        throw SimpleException(missingEntry);
    if (type != registry_type::dword)
        throw SimpleException(unexpectedFormat);
    std::uint32_t value = 0;
    std::memcpy(&value, buffer, sizeof value);
    return value;
}

std::string RegistryKey::readString(const char* name) const {
    std::uint32_t type = registry_type::none;
    return readText(handle_, name, isString, type);
}

std::string RegistryKey::readExpandString(const char* name) const {
    std::uint32_t type = registry_type::none;
    std::string raw = readText(handle_, name, isStringOrExpandString, type);
    if (type == registry_type::string)
        return raw;

    char probe[1] = {};
    const std::uint32_t needed = expandEnvironmentStrings(raw.c_str(), probe, 1);
    if (needed == 0 || needed == std::numeric_limits<std::uint32_t>::max())
        throw SimpleException(expansionFailed);
    // One spare character beyond what we announce, so the result is terminated whatever happens.
    std::vector<char> expanded(static_cast<std::size_t>(needed) + 1, '\0');
    const std::uint32_t written = expandEnvironmentStrings(raw.c_str(), expanded.data(), needed);
    // 0 is a failure of the second call, whose buffer then holds nothing meaningful.
    if (written == 0 || written > needed)
        throw SimpleException(expansionFailed);
    return std::string(expanded.data());
}

bool RegistryKey::queryValueInfo(const char* name, std::uint32_t& type, std::uint32_t& size) const {
    type = 0;
    size = 0;
    return registryQueryValue(handle_, name, &type, nullptr, &size) == success;
}
