#include "installer/InstallSettings.h"

#include "common/PendraSettings.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <string_view>
#include <vector>

namespace {

using pendra_settings::Setting;
using pendra_settings::Shape;

// The log file's own name and its separator must still fit into a Windows path.
constexpr std::size_t longestLogDirectory = 260 - 14;

std::optional<std::uint32_t> wholeNumber(const std::string& text) {
    if (text.empty() || text.size() > 10) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > pendra_settings::anyNumber) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

// An IPv6 address as Pendra takes it: with or without brackets, a zone index allowed.
bool isIPv6Literal(std::string text) {
    if (text.size() > 2 && text.front() == '[' && text.back() == ']') {
        text = text.substr(1, text.size() - 2);
    }
    const std::size_t zone = text.find('%');
    const std::string address = text.substr(0, zone);
    if (address.empty() || address.size() > 45 ||
        std::count(address.begin(), address.end(), ':') < 2) {
        return false;
    }
    const auto allowed = [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c)) != 0 || c == ':' || c == '.';
    };
    const bool zoneOk =
        zone == std::string::npos ||
        (zone + 1 < text.size() &&
         std::all_of(text.begin() + static_cast<std::ptrdiff_t>(zone) + 1, text.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }));
    return std::all_of(address.begin(), address.end(), allowed) && zoneOk;
}

// The blank-separated names of a server list.
std::vector<std::string> serverNames(const std::string& text) {
    std::vector<std::string> names;
    std::size_t at = 0;
    while ((at = text.find_first_not_of(" \t", at)) != std::string::npos) {
        const std::size_t end = text.find_first_of(" \t", at);
        names.push_back(text.substr(at, end - at));
        at = end;
    }
    return names;
}

bool isHostName(const std::string& text) {
    if (text.empty() || text.size() > 255) {
        return false;
    }
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (!std::isalnum(u) && c != '.' && c != '-' && c != '_') {
            return false;
        }
    }
    return true;
}

std::string pathProblem(const std::string& path, const InstallInputs& inputs) {
    const std::string root = pathRoot(path);
    if (root.empty()) {
        return "not an absolute folder (D:\\folder or \\\\server\\share\\folder)";
    }
    if (path.size() > longestLogDirectory) {
        // Built by appending: g++ 12 warns falsely about "longer than " + std::to_string().
        std::string problem("longer than ");
        problem += std::to_string(longestLogDirectory);
        return problem + " characters";
    }
    for (std::size_t i = 0; i < path.size(); ++i) {
        const auto u = static_cast<unsigned char>(path[i]);
        const bool driveColon = i == 1 && path[i] == ':';
        if (u < 32 || std::string_view("<>\"|?*").find(path[i]) != std::string_view::npos ||
            (path[i] == ':' && !driveColon)) {
            return "holds a character that a folder name cannot hold";
        }
    }
    if (!inputs.rootExists(root)) {
        return (root.size() == 3 ? "drive " : "share ") + root + " does not exist";
    }
    return {};
}

// Built by appending: g++ 12 warns falsely about "#" + text.
std::string prefixed(const char* prefix, const std::string& text) {
    std::string data(prefix);
    data += text;
    return data;
}

std::string textData(const std::string& text) {
    return text.starts_with('#') ? prefixed("#", text) : text;
}

std::string numberData(std::uint32_t value) {
    return prefixed("#", std::to_string(value));
}

std::string folderWithSeparator(std::string folder) {
    if (!folder.empty() && folder.back() != '\\') {
        folder += '\\';
    }
    return folder;
}

class Planner {
public:
    Planner(const InstallInputs& inputs, const InstallDefaults& defaults)
        : inputs_(inputs), defaults_(defaults) {}

    SettingsPlan plan() {
        for (const Setting* setting : pendra_settings::all) {
            // The program's folder is the package's own to write.
            if (setting->property != nullptr) {
                choose(*setting);
            }
        }
        return std::move(plan_);
    }

private:
    void choose(const Setting& setting) {
        const std::string given = inputs_.property(setting.property);
        if (!given.empty()) {
            fromProperty(setting, given);
            return;
        }
        const StoredValue stored = inputs_.stored(setting.name);
        if (stored.kind == StoredValue::Kind::missing && !setting.addedToKeptSettings &&
            inputs_.stored(pendra_settings::ntpServerName.name).kind !=
                StoredValue::Kind::missing) {
            plan_.notes.push_back(std::string(setting.name) +
                                  " not written (absent from the settings kept)");
            return;
        }
        if (!readable(setting, stored)) {
            fallBack(setting, stored.kind == StoredValue::Kind::missing
                                  ? "default"
                                  : "default, the stored value was not usable");
            return;
        }
        const std::string kept =
            inputs_.storedFrom.empty() ? "kept" : "kept from " + inputs_.storedFrom;
        if (stored.kind == StoredValue::Kind::number) {
            // In the stored unit: Klemora can store a poll of seconds that the property's
            // minutes cannot give. A service that refuses its value rolls the install back.
            // A flag is on for Pendra whenever it is not 0, so any stored number keeps its sense.
            if (setting.shape == Shape::number &&
                (stored.number < setting.least || stored.number > setting.most)) {
                fallBack(setting, "default, the stored value " + std::to_string(stored.number) +
                                      " is not from " + std::to_string(setting.least) + " to " +
                                      std::to_string(setting.most));
                return;
            }
            take(setting, numberData(stored.number), std::to_string(stored.number), kept);
            return;
        }
        const bool expand = stored.kind == StoredValue::Kind::expandText;
        std::string origin = kept;
        if (setting.shape == Shape::path) {
            // A folder on a removed disk or an unreachable share stays Pendra's setting, but
            // the package cannot create it: its folder table would fail the whole install.
            const std::string folder = expand ? inputs_.expand(stored.text) : stored.text;
            if (const std::string problem = pathProblem(folder, inputs_); !problem.empty()) {
                origin += ", but the package makes no folder there: " + problem;
            } else {
                plan_.logFolder = folderWithSeparator(folder);
            }
        }
        take(setting, expand ? prefixed("#%", stored.text) : textData(stored.text),
             "\"" + stored.text + "\"", origin);
    }

    void fallBack(const Setting& setting, const std::string& why) {
        switch (setting.shape) {
        case Shape::folder: // has no property: never planned
        case Shape::server:
            take(setting, textData(defaults_.serverName), "\"" + defaults_.serverName + "\"", why);
            break;
        case Shape::path:
            take(setting, textData(defaults_.logDirectory), "\"" + defaults_.logDirectory + "\"",
                 why);
            plan_.logFolder = folderWithSeparator(defaults_.logDirectory);
            break;
        case Shape::flag:
        case Shape::number: {
            take(setting, numberData(setting.initial), std::to_string(setting.initial), why);
            break;
        }
        case Shape::file: // absent means none: nothing to write
            plan_.notes.push_back(std::string(setting.name) + " not written (none given)");
            break;
        }
    }

    // What Pendra can read back is kept; anything else is replaced by the default.
    static bool readable(const Setting& setting, const StoredValue& stored) {
        switch (setting.shape) {
        case Shape::folder: // has no property: never planned
        case Shape::server:
            return stored.kind == StoredValue::Kind::text && !stored.text.empty();
        case Shape::path:
            return (stored.kind == StoredValue::Kind::text ||
                    stored.kind == StoredValue::Kind::expandText) &&
                   !stored.text.empty();
        case Shape::flag:
        case Shape::number:
            return stored.kind == StoredValue::Kind::number;
        case Shape::file: // empty too: it means none
            return stored.kind == StoredValue::Kind::text;
        }
        return false;
    }

    void fromProperty(const Setting& setting, const std::string& given) {
        const std::string origin = std::string("from ") + setting.property;
        switch (setting.shape) {
        case Shape::folder: // has no property: never planned
        case Shape::server:
            // Several servers, in the order of preference, each one checked.
            if (serverNames(given).empty()) {
                refuse(setting, given, "names no server");
                return;
            }
            for (const std::string& name : serverNames(given)) {
                if (!isHostName(name) && !isIPv6Literal(name)) {
                    refuse(setting, given, "\"" + name + "\" is not a host name or IP address");
                    return;
                }
            }
            take(setting, textData(given), "\"" + given + "\"", origin);
            return;
        case Shape::path:
            if (const std::string problem = pathProblem(given, inputs_); !problem.empty()) {
                refuse(setting, given, problem);
                return;
            }
            take(setting, textData(given), "\"" + given + "\"", origin);
            plan_.logFolder = folderWithSeparator(given);
            return;
        case Shape::file:
            // The folder is the user's to provide: the package creates none for it.
            if (const std::string problem = pathProblem(given, inputs_); !problem.empty()) {
                refuse(setting, given, problem);
                return;
            }
            take(setting, textData(given), "\"" + given + "\"", origin);
            return;
        case Shape::flag:
            if (given != "0" && given != "1") {
                refuse(setting, given, "must be 0 or 1");
                return;
            }
            break;
        case Shape::number: {
            const auto value = wholeNumber(given);
            if (!value || *value < setting.propertyLeast() || *value > setting.propertyMost()) {
                refuse(setting, given,
                       std::string("must be a whole number of ") + setting.unitName + " from " +
                           std::to_string(setting.propertyLeast()) + " to " +
                           std::to_string(setting.propertyMost()));
                return;
            }
            break;
        }
        }
        const std::uint32_t value = *wholeNumber(given) * setting.propertyUnit;
        take(setting, numberData(value), std::to_string(value), origin);
    }

    void take(const Setting& setting, std::string data, const std::string& shown,
              const std::string& origin) {
        plan_.values.push_back({setting.name, std::move(data)});
        plan_.notes.push_back(std::string(setting.name) + " = " + shown + " (" + origin + ")");
    }

    void refuse(const Setting& setting, const std::string& given, const std::string& problem) {
        plan_.problems.push_back(std::string(setting.property) + "=" + given + ": " + problem);
    }

    const InstallInputs& inputs_;
    const InstallDefaults& defaults_;
    SettingsPlan plan_;
};

} // namespace

SettingsPlan planSettings(const InstallInputs& inputs, const InstallDefaults& defaults) {
    return Planner(inputs, defaults).plan();
}

std::string pathRoot(const std::string& path) {
    const auto letter = [](char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; };
    if (path.size() >= 3 && letter(path[0]) && path[1] == ':' && path[2] == '\\') {
        return path.substr(0, 3);
    }
    if (!path.starts_with("\\\\") || path.size() < 5 || path[2] == '\\') {
        return {};
    }
    const std::size_t hostEnd = path.find('\\', 2);
    if (hostEnd == std::string::npos || hostEnd + 1 >= path.size() || path[hostEnd + 1] == '\\') {
        return {};
    }
    const std::size_t shareEnd = path.find('\\', hostEnd + 1);
    return (shareEnd == std::string::npos ? path : path.substr(0, shareEnd)) + "\\";
}
