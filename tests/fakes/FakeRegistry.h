// The in-memory registry behind the registry primitives of the native build, and the calls that
// tests use to arrange it. Paths are relative to a root ("Software\\Tarnwick\\NTP Client");
// key and value names match without regard to case, as in the registry.
//
// Handles returned by registryOpenKey stay valid until they are closed, even across reset or
// deleteKey: such a handle then refers to a deleted key and every call on it fails with
// ERROR_KEY_DELETED, as on Windows.
#pragma once

#include "service/engine/RegistryKey.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace fake_registry {

constexpr long errorSuccess = 0;
constexpr long errorFileNotFound = 2;
constexpr long errorInvalidHandle = 6;
constexpr long errorInvalidParameter = 87;
constexpr long errorMoreData = 234;
constexpr long errorKeyDeleted = 1018;

// Empties every root and the expansion environment, and zeroes the counters.
void reset();

// Creates the key and any missing keys on its path.
void createKey(PredefinedRoot root, std::string_view path);
// Deletes the key with everything below it; false when it did not exist.
bool deleteKey(PredefinedRoot root, std::string_view path);

// Stores raw bytes under any type, creating the key when needed.
void setValue(PredefinedRoot root, std::string_view path, std::string_view name, std::uint32_t type,
              std::vector<std::uint8_t> data);
void setDword(PredefinedRoot root, std::string_view path, std::string_view name,
              std::uint32_t value);
// The text with its terminating NUL, as REG_SZ or REG_EXPAND_SZ.
void setString(PredefinedRoot root, std::string_view path, std::string_view name,
               std::string_view text);
void setExpandString(PredefinedRoot root, std::string_view path, std::string_view name,
                     std::string_view text);
void setBinary(PredefinedRoot root, std::string_view path, std::string_view name,
               std::vector<std::uint8_t> data);
// False when the key or the value did not exist.
bool deleteValue(PredefinedRoot root, std::string_view path, std::string_view name);

// Variables for %NAME% references in expandEnvironmentStrings; unknown ones stay as written.
void setEnvironmentVariable(std::string_view name, std::string_view value);
// While set, expandEnvironmentStrings fails (returns 0).
void setExpansionFails(bool fails);

// Subkey handles closed since the last reset.
std::size_t closeCount();
// Closes of a predefined root or of a handle that is not open: always a fault of the caller.
std::size_t invalidCloseCount();
// Subkey handles open right now, including any opened before the last reset.
std::size_t openHandleCount();

} // namespace fake_registry
