// The decisions of the settings page and its store, natively: units, loading, the order of a
// save's checks and writes, and the texts built for the user.
#include "desktop/admin/HelpTopics.h"
#include "desktop/admin/ProgramPaths.h"
#include "desktop/admin/ServerList.h"
#include "desktop/admin/SyncSettings.h"
#include "desktop/admin/SystemErrorText.h"
#include "desktop/admin/UnitConversion.h"
#include "desktop/admin/VersionText.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

using PathState = SettingsTarget::PathState;

// Records every step of a save; answers as told.
class RecordingTarget : public SettingsTarget {
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
    void restartPendra() override { steps.push_back("restart"); }

    std::vector<std::string> steps;
    TokenRights token;
    PathState path = PathState::directory;
    std::uint32_t probeError = 0;
    std::uint32_t createError = 0;
    std::uint32_t openError = 0;
    bool answerOk = true;
    std::string failingValue;
};

class MapSource : public SettingsSource {
public:
    bool settingsKeyExists() override { return keyExists; }
    std::optional<Text> text(const char* name) override {
        auto found = texts.find(name);
        return found == texts.end() ? std::nullopt : std::optional<Text>(found->second);
    }
    std::optional<std::uint32_t> number(const char* name) override {
        auto found = numbers.find(name);
        return found == numbers.end() ? std::nullopt : std::optional(found->second);
    }
    bool autostartEntryExists() override { return autostart; }

    bool keyExists = true;
    bool autostart = false;
    std::map<std::string, Text> texts;
    std::map<std::string, std::uint32_t> numbers;
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

TEST(Units, AValueIsShownInTheLargestWholeUnit) {
    const std::vector<std::tuple<StoredUnit, std::uint32_t, std::uint32_t, int>> cases{
        {StoredUnit::milliseconds, 900000, 15, 2},
        {StoredUnit::milliseconds, 3600000, 1, 3},
        {StoredUnit::milliseconds, 1500, 1500, 0},
        {StoredUnit::milliseconds, 0, 0, 0},
        {StoredUnit::milliseconds, 90000, 90, 1},
        {StoredUnit::seconds, 90, 90, 0},
        {StoredUnit::seconds, 7200, 2, 2},
        {StoredUnit::seconds, 120, 2, 1},
        {StoredUnit::seconds, 0, 0, 0},
        {StoredUnit::milliseconds, 4294967295u, 4294967295u, 0},
    };
    for (const auto& [stored, value, number, unit] : cases) {
        const ShownValue shown = showValue(stored, value);
        EXPECT_EQ(shown.number, number) << value;
        EXPECT_EQ(shown.unitIndex, unit) << value;
    }
}

TEST(Units, TypedNumbersAreMultipliedAndNeverWrap) {
    auto typed = [](const char* text, StoredUnit stored, int unit) {
        return readTypedValue(text, stored, unit);
    };
    EXPECT_FALSE(typed("", StoredUnit::milliseconds, 2).has_value());
    EXPECT_EQ(typed("15", StoredUnit::milliseconds, 3)->stored, 54000000u);
    EXPECT_EQ(typed("  7x", StoredUnit::seconds, 1)->stored, 420u);
    EXPECT_EQ(typed("abc", StoredUnit::seconds, 0)->stored, 0u);
    EXPECT_FALSE(typed("abc", StoredUnit::seconds, 0)->correctedNumber.has_value());
    EXPECT_EQ(typed("5", StoredUnit::seconds, -1)->stored, 5u); // no unit chosen
    // Too large for 32 bits: the largest whole number of the unit that fits, shown instead.
    const auto huge = typed("99999", StoredUnit::milliseconds, 3);
    EXPECT_EQ(huge->stored, 1193u * 3600000u);
    EXPECT_EQ(huge->correctedNumber, 1193u);
    const auto wrapped = typed("4294967296", StoredUnit::milliseconds, 0);
    EXPECT_EQ(wrapped->stored, 4294967295u);
    EXPECT_EQ(wrapped->correctedNumber, 4294967295u);
    EXPECT_EQ(typed("99999999999999999999999", StoredUnit::seconds, 2)->correctedNumber,
              4294967295u / 3600);
    EXPECT_FALSE(typed("4294967295", StoredUnit::milliseconds, 0)->correctedNumber);
    // Negative numbers are 0, and the page shows 0.
    const auto negative = typed("-5", StoredUnit::seconds, 1);
    EXPECT_EQ(negative->stored, 0u);
    EXPECT_EQ(negative->correctedNumber, 0u);
    EXPECT_FALSE(typed("-0", StoredUnit::seconds, 1)->correctedNumber);
}

TEST(Settings, LoadingTakesWhatTheRegistryHoldsAndDefaultsTheRest) {
    MapSource none;
    none.keyExists = false;
    none.autostart = true; // not even looked at without the key
    SyncSettings fresh;
    loadSettings(fresh, none, "C:\\Program Files\\Klemora\\");
    EXPECT_EQ(fresh.appRoot, "C:\\Program Files\\Klemora\\");
    EXPECT_EQ(fresh.runOnce, 1u);
    EXPECT_FALSE(fresh.serverName || fresh.logDirectory || fresh.autostart);

    MapSource source;
    source.texts["LogDirectory"] = {"%SystemRoot%\\Logs", value_type::expandedText};
    source.texts["NTPServerName"] = {"ntp.example.net", value_type::text};
    source.numbers["MaxAdjustSeconds"] = 7200;
    source.numbers["RunOnce"] = 0;
    source.autostart = true;
    SyncSettings loaded;
    loadSettings(loaded, source, "C:\\Here\\");
    EXPECT_EQ(loaded.appRoot, "C:\\Here\\"); // no AppRoot stored
    EXPECT_EQ(loaded.logDirectory, "%SystemRoot%\\Logs");
    EXPECT_EQ(loaded.logDirectoryType, value_type::expandedText);
    EXPECT_TRUE(loaded.plausibilityCheck);
    EXPECT_EQ(loaded.runOnce, 0u);
    EXPECT_TRUE(loaded.autostart);
    source.texts["AppRoot"] = {"%ProgramFiles%\\Klemora\\", value_type::expandedText};
    loadSettings(loaded, source, "C:\\Here\\");
    EXPECT_EQ(loaded.appRoot, "%ProgramFiles%\\Klemora\\");
}

TEST(Settings, ASaveWritesTheNineValuesInOrderThenRestartsPendraOnce) {
    SyncSettings s = changed();
    s.logDirectoryType = value_type::expandedText;
    RecordingTarget target;
    EXPECT_TRUE(saveSettings(s, target, pendra));
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
    EXPECT_TRUE(saveSettings(s, target, pendra)); // nothing changed since
    EXPECT_TRUE(target.steps.empty());
}

TEST(Settings, ARefusedSaveShowsEveryMessageInOrderAndWritesNothing) {
    SyncSettings s = changed();
    s.serverName.reset();
    s.autostart = true;
    RecordingTarget target;
    target.path = PathState::missing;
    EXPECT_FALSE(saveSettings(s, target, pendra));
    EXPECT_EQ(target.steps, (std::vector<std::string>{"autostart on C:\\Apps\\Pendra.exe",
                                                      "warn You must specify a NTP server name.",
                                                      "ask C:\\Logs does not exist\n create it?",
                                                      "create C:\\Logs"}));
    EXPECT_TRUE(s.dirty);

    const std::vector<std::pair<std::function<void(RecordingTarget&, SyncSettings&)>, std::string>>
        refusals{
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
        EXPECT_FALSE(saveSettings(settings, t, pendra)) << last;
        EXPECT_EQ(t.steps.back(), last);
        EXPECT_TRUE(settings.dirty);
    }
}

TEST(Settings, ATokenWithoutAdministratorRightsIsRefusedOnceBeforeAnyWrite) {
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
        EXPECT_EQ(saveSettings(s, target, pendra), allowed);
        if (allowed) {
            EXPECT_EQ(target.steps.back(), "restart");
        } else {
            EXPECT_EQ(target.steps,
                      (std::vector<std::string>{std::string("warn ") + needsAdministratorText}));
            EXPECT_TRUE(s.dirty);
        }
    }
}

TEST(Settings, WithoutLoggingTheDirectoryIsNotCheckedAndAFailedWriteKeepsTheChange) {
    SyncSettings s = changed();
    s.writeLogEntries = 0;
    s.logDirectory.reset();
    RecordingTarget target;
    target.path = PathState::failed;
    target.failingValue = "WaitForRAS";
    EXPECT_FALSE(saveSettings(s, target, pendra));
    // Every value is still tried, the key closed, and Pendra left alone.
    EXPECT_EQ(target.steps.size(), 13u);
    EXPECT_EQ(target.steps[4], "write LogDirectory 1 ");
    EXPECT_EQ(target.steps[7], "error RegSetValueEx(\"WaitForRAS\") 5");
    EXPECT_EQ(target.steps.back(), "close");
    EXPECT_TRUE(s.dirty);
}

TEST(Texts, SystemErrorsNameTheCallThenTheSystemsText) {
    auto known = [](std::uint32_t) { return std::string("Access is denied.\r\n"); };
    auto unknown = [](std::uint32_t) { return std::string(); };
    EXPECT_EQ(systemErrorText("CreateDirectory(LogDirectory)", 5, known),
              "CreateDirectory(LogDirectory)\nAccess is denied. \n");
    EXPECT_EQ(systemErrorText("Caption\n", 0x1234, unknown),
              "Caption\nUnknown error code: 0x001234\n");
    const std::string text = systemErrorText(std::string(4001, 'c'), 5, known);
    EXPECT_EQ(text, std::string(2000, 'c') + "\nAccess is denied. \n");
}

TEST(Texts, PathsHelpTopicsAndServerLines) {
    EXPECT_EQ(folderOf("C:\\Program Files\\Sync\\Klemora.exe"), "C:\\Program Files\\Sync\\");
    EXPECT_EQ(folderOf("Klemora.exe"), "");
    EXPECT_EQ(quotedServicePath("C:\\Program Files\\Sync\\Pendra.exe"),
              "\"C:\\\\Program Files\\\\Sync\\\\Pendra.exe\"");
    EXPECT_EQ(quotedServicePath("C:\\Sync\\Pendra.exe"), "C:\\Sync\\Pendra.exe");
    EXPECT_EQ(quotedServicePath("C:\\a\"b\\P.exe"), "\"C:\\\\a\\\"b\\\\P.exe\"");

    EXPECT_STREQ(helpTopicFor(0x20066), "KlemoraHelp");
    EXPECT_STREQ(helpTopicFor(0x2008D), "Standard");
    EXPECT_STREQ(helpTopicFor(0x20091), "LogFile");
    EXPECT_STREQ(helpTopicFor(0x20092), "Tarnwick");
    EXPECT_EQ(compiledHelpPath("C:\\K\\", "Standard"), "C:\\K\\Klemora.chm::/html/Standard.htm");
    EXPECT_EQ(singlePageHelpPath("C:\\K\\", "Tarnwick"), "C:\\K\\html\\Tarnwick.htm");

    EXPECT_EQ(serverListEntries("a\r\n\r\nb\nc"), (std::vector<std::string>{"a", "", "b", "c"}));
    EXPECT_EQ(serverListEntries("a\r\n"), std::vector<std::string>{"a"});
    EXPECT_TRUE(serverListEntries("").empty());
    std::string many;
    for (int i = 0; i < 10000; ++i) {
        many += std::string(2000, 'x') + "\r\n";
    }
    const auto entries = serverListEntries(many);
    EXPECT_EQ(entries.size(), 10000u);
    EXPECT_EQ(entries.back().size(), 2000u);
}

TEST(Texts, VersionTextsOfInfoAndAbout) {
    const ProgramVersion version{(1u << 16) | 22u, (3u << 16) | 4u, [](const char* name) {
                                     return std::string(name) == "CompanyName" ? "Tarnwick" : "";
                                 }};
    EXPECT_EQ(infoVersionText(version), "\n Version: 1.22.3.4\n\n Company:    \tTarnwick\n"
                                        " Product:    \t\n Description: \t\n\t \t\n");
    EXPECT_EQ(aboutVersionText(version).substr(0, 35), "Version: 1.22\nCompanyName:\tTarnwick");
}
