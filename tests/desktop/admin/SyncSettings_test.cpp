// The settings store's decisions: loading, the order of a save's checks and writes, the
// refusals and the rights a save needs.
#include "desktop/admin/SyncSettings.h"

#include "common/PendraSettings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

using PathState = SettingsStore::PathState;

// Records every step of a save; answers as told.
class RecordingTarget : public SettingsStore, public SettingsDialogue {
public:
    TokenRights rights() override { return token; }
    void setAutostartEntry(const std::string& command, bool enable) override {
        steps.push_back("autostart " + std::string(enable ? "on " : "off ") + command);
    }
    void warn(const std::string& text) override { steps.push_back("warn " + text); }
    bool confirmCreate(const std::string& text) override {
        steps.push_back("ask " + text);
        return answerOk;
    }
    PathState probe(const std::string&, std::uint32_t& error) override {
        error = probeError;
        return path;
    }
    std::uint32_t createDirectory(const std::string& directory) override {
        steps.push_back("create " + directory);
        return createError;
    }
    void showSystemError(const std::string& caption, std::uint32_t error) override {
        steps.push_back("error " + caption + " " + std::to_string(error));
    }
    std::uint32_t openSettingsKey() override {
        steps.push_back("open");
        return openError;
    }
    std::uint32_t writeText(const char* name, std::uint32_t type,
                            const std::string& text) override {
        steps.push_back(std::string("write ") + name + " " + std::to_string(type) + " " + text);
        return failingValue == name ? 5u : 0u;
    }
    std::uint32_t writeNumber(const char* name, std::uint32_t value) override {
        steps.push_back(std::string("write ") + name + " " + std::to_string(value));
        return failingValue == name ? 5u : 0u;
    }
    void closeSettingsKey() override { steps.push_back("close"); }
    std::optional<ServiceFailure> restartPendra() override {
        steps.push_back("restart");
        return restartFailure;
    }
    void showRestartMessage(const std::string& text) override {
        steps.push_back("restart message " + text);
    }

    std::vector<std::string> steps;
    TokenRights token;
    PathState path = PathState::directory;
    std::uint32_t probeError = 0;
    std::uint32_t createError = 0;
    std::uint32_t openError = 0;
    bool answerOk = true;
    std::string failingValue;
    std::optional<ServiceFailure> restartFailure;
};

class MapKey : public SettingsKey {
public:
    bool exists() override { return keyExists; }
    bool holds(const char* name) override {
        return keyExists && (texts.contains(name) || numbers.contains(name));
    }
    // A value of the other kind reads as one of another type.
    std::optional<Text> text(const char* name) override {
        auto found = texts.find(name);
        return found == texts.end() ? std::nullopt : std::optional<Text>(found->second);
    }
    std::optional<std::uint32_t> number(const char* name) override {
        auto found = numbers.find(name);
        return found == numbers.end() ? std::nullopt : std::optional(found->second);
    }

    bool keyExists = true;
    std::map<std::string, Text> texts;
    std::map<std::string, std::uint32_t> numbers;
};

class MapSource : public SettingsSource {
public:
    SettingsKey& settingsKey() override { return local; }
    SettingsKey& policyKey() override { return policy; }
    bool autostartEntryExists() override { return autostart; }

    MapKey local;
    MapKey policy;
    bool autostart = false;
};

SyncSettings changed() {
    SyncSettings s;
    s.appRoot = "C:\\Apps\\";
    s.serverName = "ntp.example.net";
    s.logDirectory = "C:\\Logs";
    s.writeLogEntries = 1;
    s.runOnce = 0;
    s.ntpPollMilliseconds = 900000;
    s.maxAdjustSeconds = 30;
    s.plausibilityCheck = false;
    s.dirty = true;
    return s;
}

const std::string pendra = "C:\\Apps\\Pendra.exe";

} // namespace

TEST(SyncSettings, LoadingTakesWhatTheRegistryHoldsAndDefaultsTheRest) {
    MapSource none;
    none.local.keyExists = false;
    none.autostart = true; // not even looked at without the key
    SyncSettings fresh;
    loadSettings(fresh, none, "C:\\Program Files\\Klemora\\");
    EXPECT_EQ(fresh.appRoot, "C:\\Program Files\\Klemora\\");
    EXPECT_EQ(fresh.runOnce, 1u);
    EXPECT_FALSE(fresh.serverName || fresh.logDirectory || fresh.autostart);

    MapSource source;
    source.local.texts["LogDirectory"] = {"%SystemRoot%\\Logs", registry_type::expandString};
    source.local.texts["NTPServerName"] = {"ntp.example.net", registry_type::string};
    source.local.numbers["MaxAdjustSeconds"] = 7200;
    source.local.numbers["RunOnce"] = 0;
    source.autostart = true;
    SyncSettings loaded;
    loadSettings(loaded, source, "C:\\Here\\");
    EXPECT_EQ(loaded.appRoot, "C:\\Here\\"); // no AppRoot stored
    EXPECT_EQ(loaded.logDirectory, "%SystemRoot%\\Logs");
    EXPECT_EQ(loaded.logDirectoryType, registry_type::expandString);
    EXPECT_TRUE(loaded.plausibilityCheck);
    EXPECT_EQ(loaded.runOnce, 0u);
    EXPECT_TRUE(loaded.autostart);
    source.local.texts["AppRoot"] = {"%ProgramFiles%\\Klemora\\", registry_type::expandString};
    loadSettings(loaded, source, "C:\\Here\\");
    EXPECT_EQ(loaded.appRoot, "%ProgramFiles%\\Klemora\\");
}

TEST(SyncSettings, APolicyValueOverridesTheLocalOneAndIsReadByTheSameRules) {
    MapSource source;
    source.local.keyExists = false; // policy alone counts too
    source.policy.texts["NTPServerName"] = {"ntp.policy.example", registry_type::string};
    source.policy.numbers["NTPPollMilliseconds"] = 600000;
    SyncSettings loaded;
    loadSettings(loaded, source, "C:\\Here\\");
    EXPECT_EQ(loaded.serverName, "ntp.policy.example");
    EXPECT_EQ(loaded.ntpPollMilliseconds, 600000u);
    EXPECT_EQ(loaded.appRoot, "C:\\Here\\");
    EXPECT_EQ(loaded.byPolicy,
              (std::set<std::string, std::less<>>{"NTPPollMilliseconds", "NTPServerName"}));

    // Beside local values the policy's win. One of another type gives the default, as it would
    // locally, not the local value: Pendra would not take that either.
    source.local.keyExists = true;
    source.local.texts["NTPServerName"] = {"ntp.local.example", registry_type::string};
    source.local.texts["LogDirectory"] = {"C:\\Logs", registry_type::string};
    source.local.numbers["NTPPollMilliseconds"] = 900000;
    source.local.numbers["RunOnce"] = 0;
    source.local.numbers["MaxAdjustSeconds"] = 60;
    source.policy.texts["RunOnce"] = {"0", registry_type::string};
    source.policy.numbers["LogDirectory"] = 3;
    loadSettings(loaded, source, "C:\\Here\\");
    EXPECT_EQ(loaded.serverName, "ntp.policy.example");
    EXPECT_EQ(loaded.ntpPollMilliseconds, 600000u);
    EXPECT_EQ(loaded.runOnce, 1u);
    EXPECT_FALSE(loaded.logDirectory);
    EXPECT_EQ(loaded.maxAdjustSeconds, 60u);
    EXPECT_TRUE(loaded.plausibilityCheck);
    EXPECT_TRUE(loaded.setByPolicy("RunOnce") && loaded.setByPolicy("LogDirectory"));
    EXPECT_FALSE(loaded.setByPolicy("MaxAdjustSeconds") || loaded.setByPolicy("WaitForRAS"));
}

TEST(SyncSettings, ASaveNeitherChecksNorWritesWhatPolicySets) {
    // An empty server and a missing log folder would each refuse the save, were they the
    // user's to change.
    SyncSettings s = changed();
    s.serverName.reset();
    s.logDirectory = "C:\\Missing";
    s.byPolicy = {"AppRoot", "NTPServerName", "LogDirectory", "RunOnce"};
    RecordingTarget target;
    target.path = PathState::missing;
    EXPECT_TRUE(saveSettings(s, target, target, pendra));
    EXPECT_EQ(target.steps, (std::vector<std::string>{
                                "autostart off C:\\Apps\\Pendra.exe", "open",
                                "write WriteLogEntries 1", "write WaitForRAS 0",
                                "write RASPollMilliseconds 0", "write NTPPollMilliseconds 900000",
                                "write MaxAdjustSeconds 0", "close", "restart"}));
    // Logging that policy turns on still needs the user's own folder.
    s = changed();
    s.byPolicy = {"WriteLogEntries"};
    target.steps.clear();
    target.answerOk = false;
    EXPECT_FALSE(saveSettings(s, target, target, pendra));
    EXPECT_EQ(target.steps.back(), "ask C:\\Logs does not exist\n create it?");
}

TEST(SyncSettings, ASaveWritesTheNineValuesInOrderThenRestartsPendraOnce) {
    SyncSettings s = changed();
    s.logDirectoryType = registry_type::expandString;
    RecordingTarget target;
    EXPECT_TRUE(saveSettings(s, target, target, pendra));
    EXPECT_EQ(target.steps,
              (std::vector<std::string>{
                  "autostart off C:\\Apps\\Pendra.exe", "open", "write AppRoot 1 C:\\Apps\\",
                  "write NTPServerName 1 ntp.example.net", "write LogDirectory 2 C:\\Logs",
                  "write WriteLogEntries 1", "write WaitForRAS 0", "write RASPollMilliseconds 0",
                  "write NTPPollMilliseconds 900000", "write RunOnce 0",
                  // The limit is kept, but written as 0 while the check is off.
                  "write MaxAdjustSeconds 0", "close", "restart"}));
    EXPECT_FALSE(s.dirty);
    EXPECT_EQ(s.maxAdjustSeconds, 30u);
    target.steps.clear();
    EXPECT_TRUE(saveSettings(s, target, target, pendra)); // nothing changed since
    EXPECT_TRUE(target.steps.empty());

    // A failed restart is told in its own form; the settings count as saved all the same.
    for (const ServiceFailure& failure :
         {ServiceFailure{"StartServiceA", 1058, ""}, ServiceFailure{"", 0, "Pendra hangs."}}) {
        s.dirty = true;
        target.steps.clear();
        target.restartFailure = failure;
        EXPECT_TRUE(saveSettings(s, target, target, pendra));
        EXPECT_EQ(target.steps.back(), failure.call.empty() ? "restart message Pendra hangs."
                                                            : "error StartServiceA 1058");
        EXPECT_FALSE(s.dirty);
    }
}

TEST(SyncSettings, ARefusedSaveShowsEveryMessageInOrderAndWritesNothing) {
    SyncSettings s = changed();
    s.serverName.reset();
    s.autostart = true;
    RecordingTarget target;
    target.path = PathState::missing;
    EXPECT_FALSE(saveSettings(s, target, target, pendra));
    EXPECT_EQ(target.steps, (std::vector<std::string>{"autostart on C:\\Apps\\Pendra.exe",
                                                      "warn You must specify a NTP server name.",
                                                      "ask C:\\Logs does not exist\n create it?",
                                                      "create C:\\Logs"}));
    EXPECT_TRUE(s.dirty);

    const std::vector<std::pair<std::function<void(RecordingTarget&, SyncSettings&)>, std::string>>
        refusals{
            {[](RecordingTarget&, SyncSettings& settings) { settings.serverName = " \t "; },
             "warn You must specify a NTP server name."},
            {[](RecordingTarget& t, SyncSettings&) {
                 t.answerOk = false;
                 t.path = PathState::missing;
             },
             "ask C:\\Logs does not exist\n create it?"},
            {[](RecordingTarget& t, SyncSettings&) {
                 t.path = PathState::missing;
                 t.createError = 3;
             },
             "error CreateDirectory(LogDirectory) 3"},
            {[](RecordingTarget& t, SyncSettings&) {
                 t.path = PathState::failed;
                 t.probeError = 5;
             },
             "error GetFileAttributes(LogDirectory) 5"},
            {[](RecordingTarget& t, SyncSettings&) { t.path = PathState::notDirectory; },
             "warn C:\\Logs exists, but is not a directory"},
            {[](RecordingTarget&, SyncSettings& s2) { s2.logDirectory.reset(); },
             "warn You must specify a directory for log files."},
            {[](RecordingTarget& t, SyncSettings&) { t.openError = 5; },
             "error RegCreateKeyEx(\"HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarnwick\\NTP Client\") 5"},
        };
    for (const auto& [arrange, last] : refusals) {
        SyncSettings settings = changed();
        RecordingTarget t;
        arrange(t, settings);
        EXPECT_FALSE(saveSettings(settings, t, t, pendra)) << last;
        EXPECT_EQ(t.steps.back(), last);
        EXPECT_TRUE(settings.dirty);
    }
}

TEST(SyncSettings, ATokenWithoutAdministratorRightsIsRefusedOnceBeforeAnyWrite) {
    using Elevation = TokenRights::Elevation;
    // An administrator's filtered token and a standard user's are refused; a full or elevated
    // token, or a system that cannot tell, goes on to the writes.
    const std::vector<std::pair<TokenRights, bool>> cases{
        {{Elevation::limited, false}, false}, {{Elevation::defaultType, false}, false},
        {{Elevation::full, true}, true},      {{Elevation::defaultType, true}, true},
        {{Elevation::unknown, false}, true},
    };
    for (const auto& [token, allowed] : cases) {
        SyncSettings s = changed();
        s.autostart = true;
        RecordingTarget target;
        target.token = token;
        EXPECT_EQ(saveSettings(s, target, target, pendra), allowed);
        if (allowed) {
            EXPECT_EQ(target.steps.back(), "restart");
        } else {
            EXPECT_EQ(target.steps,
                      (std::vector<std::string>{std::string("warn ") + needsAdministratorText}));
            EXPECT_TRUE(s.dirty);
        }
    }
}

TEST(SyncSettings, WithoutLoggingTheDirectoryIsNotCheckedAndAFailedWriteKeepsTheChange) {
    SyncSettings s = changed();
    s.writeLogEntries = 0;
    s.logDirectory.reset();
    RecordingTarget target;
    target.path = PathState::failed;
    target.failingValue = "WaitForRAS";
    EXPECT_FALSE(saveSettings(s, target, target, pendra));
    // Every value is still tried, the key closed, and Pendra left alone.
    EXPECT_EQ(target.steps.size(), 13u);
    EXPECT_EQ(target.steps[4], "write LogDirectory 1 ");
    EXPECT_EQ(target.steps[7], "error RegSetValueEx(\"WaitForRAS\") 5");
    EXPECT_EQ(target.steps.back(), "close");
    EXPECT_TRUE(s.dirty);
}

// Klemora loads and writes back exactly the values the settings description says it edits,
// each with the registry type the description gives, and what it loaded is what it writes.
TEST(SyncSettings, LoadsAndSavesWhatTheSettingsDescriptionSaysItEdits) {
    MapSource source;
    std::vector<std::string> expected;
    std::uint32_t next = 2;
    for (const pendra_settings::Setting* setting : pendra_settings::all) {
        if (!setting->editedByKlemora) {
            continue;
        }
        const bool number = setting->registryType() == registry_type::dword;
        const std::string value =
            number ? std::to_string(next) : "C:\\" + std::string(setting->name);
        if (number) {
            source.local.numbers[setting->name] = next++;
            expected.push_back(std::string("write ") + setting->name + " " + value);
        } else {
            source.local.texts[setting->name] = {value, registry_type::string};
            expected.push_back(std::string("write ") + setting->name + " 1 " + value);
        }
    }
    SyncSettings loaded;
    loadSettings(loaded, source, "C:\\Here\\");
    loaded.plausibilityCheck = true; // what the page shows for a stored limit
    loaded.dirty = true;
    RecordingTarget target;
    target.path = PathState::directory;
    ASSERT_TRUE(saveSettings(loaded, target, target, pendra));
    std::vector<std::string> writes;
    for (const std::string& step : target.steps) {
        if (step.starts_with("write ")) {
            writes.push_back(step);
        }
    }
    std::ranges::sort(writes);
    std::ranges::sort(expected);
    EXPECT_EQ(writes, expected);
}
