#include "installer/InstallSettings.h"

#include <cctype>
#include <limits>
#include <optional>
#include <string_view>

namespace {

enum class Shape { server, path, flag, number };

struct Rule {
    const char* property;
    const char* valueName;
    Shape shape;
    std::uint32_t least = 0;
    std::uint32_t most = 1;
    std::uint32_t unit = 1;     // the stored value is the property's value times this
    std::uint32_t fallback = 0; // the default, in the property's unit
    const char* unitName = "";
};

constexpr std::uint32_t any = std::numeric_limits<std::uint32_t>::max();

// Klemora edits the first eight of these (and AppRoot); the last three it leaves alone.
constexpr Rule rules[] = {
    {"NTPSERVER", "NTPServerName", Shape::server},
    {"POLLMINUTES", "NTPPollMilliseconds", Shape::number, 1, any / 60000, 60000, 60, "minutes"},
    {"RUNONCE", "RunOnce", Shape::flag, 0, 1, 1, 0},
    {"MAXADJUST", "MaxAdjustSeconds", Shape::number, 0, any, 1, 0, "seconds"},
    {"LOGGING", "WriteLogEntries", Shape::flag, 0, 1, 1, 1},
    {"LOGDIR", "LogDirectory", Shape::path},
    {"WAITFORRAS", "WaitForRAS", Shape::flag, 0, 1, 1, 0},
    {"RASPOLLSECONDS", "RASPollMilliseconds", Shape::number, 1, any / 1000, 1000, 60, "seconds"},
    {"LOGFILES", "LogFileCount", Shape::number, 0, any, 1, 7, "files"},
    {"NTPPORT", "NTPServerPort", Shape::number, 1, 65535, 1, 123, "a port"},
    {"NTPSAMPLES", "NTPSamples", Shape::number, 1, 8, 1, 1, "samples"},
};

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
    if (value > any) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
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
        for (const Rule& rule : rules) {
            choose(rule);
        }
        return std::move(plan_);
    }

private:
    void choose(const Rule& rule) {
        const std::string given = inputs_.property(rule.property);
        if (!given.empty()) {
            fromProperty(rule, given);
            return;
        }
        const StoredValue stored = inputs_.stored(rule.valueName);
        if (!readable(rule, stored)) {
            fallBack(rule, stored.kind == StoredValue::Kind::missing
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
            const std::uint64_t most = std::uint64_t{rule.most} * rule.unit;
            if (rule.shape == Shape::number &&
                (stored.number < rule.least || stored.number > most)) {
                fallBack(rule, "default, the stored value " + std::to_string(stored.number) +
                                   " is not from " + std::to_string(rule.least) + " to " +
                                   std::to_string(most));
                return;
            }
            take(rule, numberData(stored.number), std::to_string(stored.number), kept);
            return;
        }
        const bool expand = stored.kind == StoredValue::Kind::expandText;
        std::string origin = kept;
        if (rule.shape == Shape::path) {
            // A folder on a removed disk or an unreachable share stays Pendra's setting, but
            // the package cannot create it: its folder table would fail the whole install.
            const std::string folder = expand ? inputs_.expand(stored.text) : stored.text;
            if (const std::string problem = pathProblem(folder, inputs_); !problem.empty()) {
                origin += ", but the package makes no folder there: " + problem;
            } else {
                plan_.logFolder = folderWithSeparator(folder);
            }
        }
        take(rule, expand ? prefixed("#%", stored.text) : textData(stored.text),
             "\"" + stored.text + "\"", origin);
    }

    void fallBack(const Rule& rule, const std::string& why) {
        switch (rule.shape) {
        case Shape::server:
            take(rule, textData(defaults_.serverName), "\"" + defaults_.serverName + "\"", why);
            break;
        case Shape::path:
            take(rule, textData(defaults_.logDirectory), "\"" + defaults_.logDirectory + "\"", why);
            plan_.logFolder = folderWithSeparator(defaults_.logDirectory);
            break;
        case Shape::flag:
        case Shape::number: {
            const std::uint32_t value = rule.fallback * rule.unit;
            take(rule, numberData(value), std::to_string(value), why);
            break;
        }
        }
    }

    // What Pendra can read back is kept; anything else is replaced by the default.
    static bool readable(const Rule& rule, const StoredValue& stored) {
        switch (rule.shape) {
        case Shape::server:
            return stored.kind == StoredValue::Kind::text && !stored.text.empty();
        case Shape::path:
            return (stored.kind == StoredValue::Kind::text ||
                    stored.kind == StoredValue::Kind::expandText) &&
                   !stored.text.empty();
        case Shape::flag:
        case Shape::number:
            return stored.kind == StoredValue::Kind::number;
        }
        return false;
    }

    void fromProperty(const Rule& rule, const std::string& given) {
        const std::string origin = std::string("from ") + rule.property;
        switch (rule.shape) {
        case Shape::server:
            if (!isHostName(given)) {
                refuse(rule, given, "not a host name or IPv4 address");
                return;
            }
            take(rule, textData(given), "\"" + given + "\"", origin);
            return;
        case Shape::path:
            if (const std::string problem = pathProblem(given, inputs_); !problem.empty()) {
                refuse(rule, given, problem);
                return;
            }
            take(rule, textData(given), "\"" + given + "\"", origin);
            plan_.logFolder = folderWithSeparator(given);
            return;
        case Shape::flag:
            if (given != "0" && given != "1") {
                refuse(rule, given, "must be 0 or 1");
                return;
            }
            break;
        case Shape::number: {
            const auto value = wholeNumber(given);
            if (!value || *value < rule.least || *value > rule.most) {
                refuse(rule, given,
                       std::string("must be a whole number of ") + rule.unitName + " from " +
                           std::to_string(rule.least) + " to " + std::to_string(rule.most));
                return;
            }
            break;
        }
        }
        const std::uint32_t value = *wholeNumber(given) * rule.unit;
        take(rule, numberData(value), std::to_string(value), origin);
    }

    void take(const Rule& rule, std::string data, const std::string& shown,
              const std::string& origin) {
        plan_.values.push_back({rule.valueName, std::move(data)});
        plan_.notes.push_back(std::string(rule.valueName) + " = " + shown + " (" + origin + ")");
    }

    void refuse(const Rule& rule, const std::string& given, const std::string& problem) {
        plan_.problems.push_back(std::string(rule.property) + "=" + given + ": " + problem);
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
