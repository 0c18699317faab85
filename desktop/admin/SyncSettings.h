// Klemora's copy of Pendra's settings: loaded once from the registry when the sheet is built,
// changed by the settings page, validated and written back by Apply, which then restarts
// Pendra. A value that Group Policy sets overrides the local one: it is shown, never edited or
// written. The decisions live here, portable; the registry, the files and the message boxes are
// reached through the interfaces below, which the Windows layer implements and tests fake.
#pragma once

#include "common/RegistryTypes.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

struct SyncSettings {
    std::string appRoot; // the program's folder, ending in a backslash
    std::optional<std::string> serverName;
    std::optional<std::string> logDirectory;
    std::uint32_t logDirectoryType = registry_type::string;
    std::uint32_t writeLogEntries = 0;
    std::uint32_t waitForRas = 0;
    std::uint32_t rasPollMilliseconds = 0;
    std::uint32_t runOnce = 1;
    std::uint32_t ntpPollMilliseconds = 0;
    std::uint32_t maxAdjustSeconds = 0;
    bool plausibilityCheck = false;
    bool autostart = false;
    bool dirty = false;
    // The names of the settings that the policy key holds: the fields above show its values.
    std::set<std::string, std::less<>> byPolicy;

    bool setByPolicy(std::string_view name) const { return byPolicy.contains(name); }
};

// The one copy of the process.
extern SyncSettings syncSettings;

// One registry key of settings as loading reads it: Pendra's own, or the policy key.
class SettingsKey {
public:
    struct Text {
        std::string text;
        std::uint32_t type;
    };
    virtual ~SettingsKey() = default;
    virtual bool exists() = 0;
    // Whether the key holds a value of that name, of any type.
    virtual bool holds(const char* name) = 0;
    // A text stored as REG_SZ or REG_EXPAND_SZ, unexpanded; none for anything else.
    virtual std::optional<Text> text(const char* name) = 0;
    // A REG_DWORD; none for anything else.
    virtual std::optional<std::uint32_t> number(const char* name) = 0;
};

// What loading reads: the settings key, the key that Group Policy writes
// (HKEY_LOCAL_MACHINE\Software\Policies\Tarnwick\NTP Client) and the autostart value.
class SettingsSource {
public:
    virtual ~SettingsSource() = default;
    virtual SettingsKey& settingsKey() = 0;
    virtual SettingsKey& policyKey() = 0;
    virtual bool autostartEntryExists() = 0;
};

// Fills settings from the source; programFolder stands in for a missing AppRoot. A missing
// key, value or a value of another type leaves the default, silently. A value that the policy
// key holds replaces the local one and is read by the same rules: one of another type leaves
// the default, as it would locally.
void loadSettings(SyncSettings& settings, SettingsSource& source, const std::string& programFolder);

// What the program's token says of its rights (Windows Vista and later: the token's elevation
// type and whether it is elevated). Older systems have no such query.
struct TokenRights {
    enum class Elevation { unknown, defaultType, full, limited };
    Elevation type = Elevation::unknown;
    bool elevated = false;
};

// Whether a save may write HKEY_LOCAL_MACHINE and control the service: a full or elevated token,
// or a system without elevation where the writes themselves report a refusal. An
// administrator's filtered token and a standard user's token may not.
bool mayChangeSettings(const TokenRights& rights);

// The refusal shown instead of a save that the token does not allow.
extern const char* const needsAdministratorText;

// What stopped a restart of Pendra: a system call with its error code, or a message of its own.
struct ServiceFailure {
    std::string call; // empty for a message
    std::uint32_t error = 0;
    std::string message;
};

// What saving does to the world, in the order saveSettings decides. Failures are returned.
class SettingsStore {
public:
    enum class PathState { missing, directory, notDirectory, failed };
    virtual ~SettingsStore() = default;
    virtual TokenRights rights() = 0;
    virtual void setAutostartEntry(const std::string& command, bool enable) = 0;
    // What the path is; error is the system's code when the answer is failed.
    virtual PathState probe(const std::string& path, std::uint32_t& error) = 0;
    // 0, or the system's error code.
    virtual std::uint32_t createDirectory(const std::string& path) = 0;
    // Creates or opens the settings key for writing; 0 or the registry's error code.
    virtual std::uint32_t openSettingsKey() = 0;
    virtual std::uint32_t writeText(const char* name, std::uint32_t type,
                                    const std::string& text) = 0;
    virtual std::uint32_t writeNumber(const char* name, std::uint32_t value) = 0;
    virtual void closeSettingsKey() = 0;
    virtual std::optional<ServiceFailure> restartPendra() = 0;
};

// What saving tells the user and asks; the page decides how.
class SettingsDialogue {
public:
    virtual ~SettingsDialogue() = default;
    // A validation message: title "Horvane Error", warning icon.
    virtual void warn(const std::string& text) = 0;
    // The question whether to create the log directory; true for OK.
    virtual bool confirmCreate(const std::string& text) = 0;
    // The caption line and the system's text for the error.
    virtual void showSystemError(const std::string& caption, std::uint32_t error) = 0;
    // A restart that failed without a system call: its message, titled "Pendra".
    virtual void showRestartMessage(const std::string& text) = 0;
};

// Validates and writes the settings when they changed, then restarts Pendra; true when nothing
// had to be saved or everything was written. pendraPath is the autostart command. A value that
// policy sets is neither checked nor written: the user cannot change it, and the local one stays.
bool saveSettings(SyncSettings& settings, SettingsStore& store, SettingsDialogue& user,
                  const std::string& pendraPath);
