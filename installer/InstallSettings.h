// What the installer package writes into Pendra's settings key. Each value comes from its
// public property when the command line gives one, else from the value already stored, so that
// an upgrade or a repair keeps what the user changed, else from the package's default.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct StoredValue {
    enum class Kind { missing, number, text, expandText, other };
    Kind kind = Kind::missing;
    std::uint32_t number = 0;
    std::string text;
};

struct InstallDefaults {
    std::string serverName;   // the first server of the list file
    std::string logDirectory; // under the common application data folder
};

struct InstallInputs {
    // The public property's value; empty when the command line does not give it.
    std::function<std::string(const std::string& property)> property;
    std::function<StoredValue(const std::string& valueName)> stored;
    // Environment references of a stored REG_EXPAND_SZ, expanded as Pendra will expand them.
    std::function<std::string(const std::string& text)> expand;
    // Whether a path's root (drive or share) exists on this computer.
    std::function<bool(const std::string& root)> rootExists;
    // Where the stored values were found when not in the package's own registry view (the
    // package of the other width leaves them in its own); empty for the own view.
    std::string storedFrom;
};

struct ChosenValue {
    std::string valueName;
    // As the Registry table of the package takes it: "#123" a REG_DWORD, "#%text" a
    // REG_EXPAND_SZ, anything else a REG_SZ (a leading '#' doubled).
    std::string registryData;
};

struct SettingsPlan {
    std::vector<ChosenValue> values;
    std::vector<std::string> notes;    // one line per value: where it came from
    std::vector<std::string> problems; // a property that the settings cannot hold
    std::string logFolder;             // the folder the package creates for the logs, or empty
};

SettingsPlan planSettings(const InstallInputs& inputs, const InstallDefaults& defaults);

// The drive ("D:\") or share ("\\host\share\") of an absolute path; empty for anything else.
std::string pathRoot(const std::string& path);
