#include "desktop/admin/SyncSettings.h"

#include "common/PendraSettings.h"

#include <array>

SyncSettings syncSettings;

namespace {

using pendra_settings::Setting;

struct NumberField {
    const Setting* setting;
    std::uint32_t* field;
};

// The numbers the page edits, in the order a save writes them.
std::array<NumberField, 6> numberFields(SyncSettings& settings) {
    namespace values = pendra_settings;
    return {{
        {&values::writeLogEntries, &settings.writeLogEntries},
        {&values::waitForRas, &settings.waitForRas},
        {&values::rasPollMilliseconds, &settings.rasPollMilliseconds},
        {&values::ntpPollMilliseconds, &settings.ntpPollMilliseconds},
        {&values::runOnce, &settings.runOnce},
        {&values::maxAdjustSeconds, &settings.maxAdjustSeconds},
    }};
}

} // namespace

void loadSettings(SyncSettings& settings, SettingsSource& source,
                  const std::string& programFolder) {
    settings = SyncSettings{};
    SettingsKey& local = source.settingsKey();
    SettingsKey& policy = source.policyKey();
    const bool localKeyExists = local.exists();
    // The key that decides a value: the policy key where it holds one, of whatever type, since
    // that overrides the local one; else the local key, where there is one.
    const auto keyOf = [&](const Setting& setting) -> SettingsKey* {
        if (policy.holds(setting.name)) {
            settings.byPolicy.emplace(setting.name);
            return &policy;
        }
        return localKeyExists ? &local : nullptr;
    };
    const auto text = [&](const Setting& setting) {
        SettingsKey* key = keyOf(setting);
        return key != nullptr ? key->text(setting.name) : std::nullopt;
    };
    if (auto root = text(pendra_settings::appRoot)) {
        settings.appRoot = root->text;
    }
    if (settings.appRoot.empty()) {
        settings.appRoot = programFolder;
    }
    if (auto server = text(pendra_settings::ntpServerName)) {
        settings.serverName = server->text;
    }
    if (auto directory = text(pendra_settings::logDirectory)) {
        settings.logDirectory = directory->text;
        settings.logDirectoryType = directory->type;
    }
    for (const auto& [setting, field] : numberFields(settings)) {
        SettingsKey* key = keyOf(*setting);
        if (auto value = key != nullptr ? key->number(setting->name) : std::nullopt) {
            *field = *value;
        }
    }
    settings.plausibilityCheck = settings.maxAdjustSeconds > 0;
    settings.autostart = localKeyExists && source.autostartEntryExists();
}

namespace {

// Stops at the first problem of the log directory; true when it may be written.
bool validLogDirectory(const std::string& directory, SettingsStore& store, SettingsDialogue& user) {
    if (directory.empty()) {
        user.warn("You must specify a directory for log files.");
        return false;
    }
    std::uint32_t error = 0;
    switch (store.probe(directory, error)) {
    case SettingsStore::PathState::failed:
        user.showSystemError("GetFileAttributes(LogDirectory)", error);
        return false;
    case SettingsStore::PathState::missing:
        if (!user.confirmCreate(directory + " does not exist\n create it?")) {
            return false;
        }
        if (const std::uint32_t failure = store.createDirectory(directory); failure != 0) {
            user.showSystemError("CreateDirectory(LogDirectory)", failure);
            return false;
        }
        return true;
    case SettingsStore::PathState::notDirectory:
        user.warn(directory + " exists, but is not a directory");
        return false;
    case SettingsStore::PathState::directory:
        return true;
    }
    return false;
}

} // namespace

const char* const needsAdministratorText =
    "Only an administrator can change the settings of Pendra.\n"
    "Start Klemora as an administrator to save them.";

bool mayChangeSettings(const TokenRights& rights) {
    using Elevation = TokenRights::Elevation;
    switch (rights.type) {
    case Elevation::unknown:
    case Elevation::full:
        return true;
    case Elevation::limited:
        return false;
    case Elevation::defaultType:
        // Elevation is off, or this is a standard user: the token says which.
        return rights.elevated;
    }
    return true;
}

bool saveSettings(SyncSettings& settings, SettingsStore& store, SettingsDialogue& user,
                  const std::string& pendraPath) {
    if (!settings.dirty) {
        return true;
    }
    // Without the rights nothing can be written: one clear refusal instead of a box for each
    // write that fails. The edits stay on the page.
    if (!mayChangeSettings(store.rights())) {
        user.warn(needsAdministratorText);
        return false;
    }
    // Before any validation: the entry follows its check box even when the save is refused.
    store.setAutostartEntry(pendraPath, settings.autostart);

    const std::string server = settings.serverName.value_or("");
    const std::string directory = settings.logDirectory.value_or("");
    const std::uint32_t maxAdjust = settings.plausibilityCheck ? settings.maxAdjustSeconds : 0;

    // What policy sets the user cannot change here: it is not checked, and not written.
    const auto editable = [&](const Setting& setting) {
        return !settings.setByPolicy(setting.name);
    };
    // Every message of a refused save appears at once: the server's does not stop the rest.
    bool refused = false;
    // A list of servers is kept as typed; one of blanks only names none.
    if (editable(pendra_settings::ntpServerName) &&
        server.find_first_not_of(" \t") == std::string::npos) {
        user.warn("You must specify a NTP server name.");
        refused = true;
    }
    if (settings.writeLogEntries != 0 && editable(pendra_settings::logDirectory) &&
        !validLogDirectory(directory, store, user)) {
        return false;
    }
    if (refused) {
        return false;
    }

    if (const std::uint32_t failure = store.openSettingsKey(); failure != 0) {
        user.showSystemError(
            "RegCreateKeyEx(\"HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarnwick\\NTP Client\")", failure);
        return false;
    }
    bool written = true;
    auto report = [&](const char* name, std::uint32_t failure) {
        if (failure != 0) {
            user.showSystemError(std::string("RegSetValueEx(\"") + name + "\")", failure);
            written = false;
        }
    };
    const auto writeText = [&](const Setting& setting, std::uint32_t type,
                               const std::string& text) {
        if (editable(setting)) {
            report(setting.name, store.writeText(setting.name, type, text));
        }
    };
    writeText(pendra_settings::appRoot, registry_type::string, settings.appRoot);
    writeText(pendra_settings::ntpServerName, registry_type::string, server);
    writeText(pendra_settings::logDirectory, settings.logDirectoryType, directory);
    for (const auto& [setting, field] : numberFields(settings)) {
        const bool limit = setting == &pendra_settings::maxAdjustSeconds;
        if (editable(*setting)) {
            report(setting->name, store.writeNumber(setting->name, limit ? maxAdjust : *field));
        }
    }
    store.closeSettingsKey();
    if (!written) {
        return false; // dirty stays set: the next Apply tries again
    }
    if (const auto failure = store.restartPendra()) {
        if (failure->call.empty()) {
            user.showRestartMessage(failure->message);
        } else {
            user.showSystemError(failure->call, failure->error);
        }
    }
    settings.dirty = false;
    return true;
}
