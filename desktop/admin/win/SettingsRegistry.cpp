#include "desktop/admin/win/SettingsRegistry.h"

#include "desktop/admin/ProgramPaths.h"
#include "desktop/admin/SyncSettings.h"
#include "desktop/admin/win/ServiceControl.h"
#include "desktop/admin/win/TokenRights.h"
#include "desktop/framework/WinApp.h"
#include "desktop/resources/resource.h"
#include "win32/Guards.h"
#include "win32/ModulePath.h"
#include "win32/RegistryValues.h"

namespace {

std::string settingsKeyName() {
    return "SOFTWARE\\Tarnwick\\" + loadString(IDS_SETTINGS_SUBKEY);
}

// Where Group Policy sets the same values, which override the settings key's.
std::string policyKeyName() {
    return "SOFTWARE\\Policies\\Tarnwick\\" + loadString(IDS_SETTINGS_SUBKEY);
}

std::optional<SettingsKey::Text> readText(HKEY key, const char* name) {
    auto value = readRegistryText(key, name);
    return value ? std::optional<SettingsKey::Text>({value->text, value->type}) : std::nullopt;
}

class RegistryKey : public SettingsKey {
public:
    explicit RegistryKey(const std::string& path) {
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key_.out());
    }
    bool exists() override { return key_.get() != nullptr; }
    bool holds(const char* name) override {
        return key_.get() != nullptr && RegQueryValueExA(key_.get(), name, nullptr, nullptr,
                                                         nullptr, nullptr) == ERROR_SUCCESS;
    }
    std::optional<Text> text(const char* name) override { return readText(key_.get(), name); }
    std::optional<std::uint32_t> number(const char* name) override {
        // Exactly four bytes of REG_DWORD; anything else keeps the default.
        DWORD type = 0;
        DWORD value = 0;
        DWORD size = sizeof value;
        if (RegQueryValueExA(key_.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&value),
                             &size) != ERROR_SUCCESS ||
            type != REG_DWORD) {
            return std::nullopt;
        }
        return value;
    }

private:
    RegistryKeyHandle key_;
};

class RegistrySource : public SettingsSource {
public:
    SettingsKey& settingsKey() override { return settings_; }
    SettingsKey& policyKey() override { return policy_; }
    bool autostartEntryExists() override {
        RegistryKeyHandle run;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, loadString(IDS_RUN_KEY).c_str(), 0, KEY_READ,
                          run.out()) != ERROR_SUCCESS) {
            return false;
        }
        return readText(run.get(), "Pendra_Auto").has_value();
    }

private:
    RegistryKey settings_{settingsKeyName()};
    RegistryKey policy_{policyKeyName()};
};

// The log directory as Pendra will use it: a REG_EXPAND_SZ is stored unexpanded, but checked
// and created expanded, so that "%SystemDrive%\Logs" is not made as a folder of that name.
std::string asPendraReadsIt(const std::string& directory) {
    if (syncSettings.logDirectoryType != REG_EXPAND_SZ) {
        return directory;
    }
    char expanded[MAX_PATH];
    const DWORD length = ExpandEnvironmentStringsA(directory.c_str(), expanded, sizeof expanded);
    return length > 0 && length <= sizeof expanded ? std::string(expanded) : directory;
}

class RegistryStore : public SettingsStore {
public:
    TokenRights rights() override { return currentTokenRights(); }
    void setAutostartEntry(const std::string& command, bool enable) override {
        SetAutostartEntry(loadString(IDS_RUN_KEY).c_str(), "Pendra_Auto", command, REG_SZ, enable);
    }
    PathState probe(const std::string& path, std::uint32_t& error) override {
        const DWORD attributes = GetFileAttributesA(asPendraReadsIt(path).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            error = GetLastError();
            return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                       ? PathState::missing
                       : PathState::failed;
        }
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathState::directory
                                                            : PathState::notDirectory;
    }
    std::uint32_t createDirectory(const std::string& path) override {
        return CreateDirectoryA(asPendraReadsIt(path).c_str(), nullptr) ? 0 : GetLastError();
    }
    std::uint32_t openSettingsKey() override {
        char noClass[] = "";
        return static_cast<std::uint32_t>(
            RegCreateKeyExA(HKEY_LOCAL_MACHINE, settingsKeyName().c_str(), 0, noClass,
                            REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, key_.out(), nullptr));
    }
    std::uint32_t writeText(const char* name, std::uint32_t type,
                            const std::string& text) override {
        return static_cast<std::uint32_t>(
            RegSetValueExA(key_.get(), name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>(text.size() + 1)));
    }
    std::uint32_t writeNumber(const char* name, std::uint32_t value) override {
        const DWORD data = value;
        return static_cast<std::uint32_t>(RegSetValueExA(
            key_.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data));
    }
    void closeSettingsKey() override { key_.reset(); }
    std::optional<ServiceFailure> restartPendra() override { return RestartService("Pendra"); }

private:
    RegistryKeyHandle key_;
};

} // namespace

std::string programFolder() {
    return folderOf(modulePath());
}

std::string pendraPath() {
    return programFolder() + "Pendra.exe";
}

void LoadSettings() {
    RegistrySource source;
    loadSettings(syncSettings, source, programFolder());
}

bool SaveSettings(SettingsDialogue& user) {
    RegistryStore store;
    return saveSettings(syncSettings, store, user, pendraPath());
}

LONG SetAutostartEntry(const char* subkey, const char* valueName, const std::string& command,
                       DWORD type, bool enable) {
    RegistryKeyHandle key;
    char noClass[] = "";
    const LONG opened =
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, noClass, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, key.out(), nullptr);
    if (opened != ERROR_SUCCESS) {
        return opened;
    }
    if (enable) {
        RegSetValueExA(key.get(), valueName, 0, type,
                       reinterpret_cast<const BYTE*>(command.c_str()),
                       static_cast<DWORD>(command.size() + 1));
    } else {
        RegDeleteValueA(key.get(), valueName); // a missing value is no error
    }
    return RegCloseKey(key.release());
}
