#include "installer/InstallSettings.h"

#include <gtest/gtest.h>

#include <map>

namespace {

struct Machine {
    std::map<std::string, std::string> properties;
    std::map<std::string, StoredValue> stored;
    std::vector<std::string> roots{"C:\\", "\\\\files\\logs\\"};

    SettingsPlan plan() const {
        InstallInputs inputs;
        inputs.property = [this](const std::string& name) {
            auto found = properties.find(name);
            return found == properties.end() ? std::string() : found->second;
        };
        inputs.stored = [this](const std::string& name) {
            auto found = stored.find(name);
            return found == stored.end() ? StoredValue{} : found->second;
        };
        inputs.expand = [](const std::string& text) {
            return text == "%SystemDrive%\\Logs" ? std::string("C:\\Logs") : text;
        };
        inputs.rootExists = [this](const std::string& root) {
            return std::find(roots.begin(), roots.end(), root) != roots.end();
        };
        return planSettings(inputs, {"pool.ntp.org", "C:\\ProgramData\\Tarnwick\\Pendra\\Logs"});
    }
};

std::map<std::string, std::string> written(const SettingsPlan& plan) {
    std::map<std::string, std::string> values;
    for (const ChosenValue& value : plan.values) {
        values[value.valueName] = value.registryData;
    }
    return values;
}

StoredValue number(std::uint32_t value) {
    return {StoredValue::Kind::number, value, {}};
}

StoredValue text(const std::string& value, bool expand = false) {
    return {expand ? StoredValue::Kind::expandText : StoredValue::Kind::text, 0, value};
}

} // namespace

TEST(InstallSettings, PropertiesBeatStoredValuesAndAreWrittenInTheSettingsUnits) {
    Machine machine;
    machine.properties = {
        {"POLLMINUTES", "30"}, {"RASPOLLSECONDS", "15"}, {"LOGDIR", "\\\\files\\logs\\pendra"}};
    machine.stored = {{"NTPPollMilliseconds", number(5000)}};
    const SettingsPlan plan = machine.plan();
    auto values = written(plan);
    EXPECT_EQ(values["NTPPollMilliseconds"], "#1800000");
    EXPECT_EQ(values["RASPollMilliseconds"], "#15000");
    EXPECT_EQ(values["LogDirectory"], "\\\\files\\logs\\pendra");
    EXPECT_EQ(plan.logFolder, "\\\\files\\logs\\pendra\\");
    EXPECT_EQ(plan.notes[1], "NTPPollMilliseconds = 1800000 (from POLLMINUTES)");
}

TEST(InstallSettings, AnUpgradeOrRepairKeepsWhatTheUserChanged) {
    Machine machine;
    machine.stored = {{"NTPServerName", text("#hash.example.net")},
                      {"NTPPollMilliseconds", number(90000)},
                      {"MaxAdjustSeconds", number(3600)},
                      {"LogDirectory", text("%SystemDrive%\\Logs", true)},
                      // What Pendra could not read is replaced, and the note says so.
                      {"LogFileCount", {StoredValue::Kind::other, 0, {}}},
                      {"RunOnce", text("1")}};
    const SettingsPlan plan = machine.plan();
    auto values = written(plan);
    EXPECT_EQ(values["NTPServerName"], "##hash.example.net");
    EXPECT_EQ(values["NTPPollMilliseconds"], "#90000");
    EXPECT_EQ(values["MaxAdjustSeconds"], "#3600");
    EXPECT_EQ(values["LogDirectory"], "#%%SystemDrive%\\Logs");
    EXPECT_EQ(values["LogFileCount"], "#7");
    EXPECT_EQ(values["RunOnce"], "#0");
    EXPECT_EQ(plan.logFolder, "C:\\Logs\\");
    EXPECT_EQ(plan.notes[1], "NTPPollMilliseconds = 90000 (kept)");
    EXPECT_EQ(plan.notes[8], "LogFileCount = 7 (default, the stored value was not usable)");
}

TEST(InstallSettings, PropertiesTheSettingsCannotHoldAreAllReported) {
    Machine machine;
    machine.properties = {
        {"NTPSERVER", "ntp example"}, {"POLLMINUTES", "abc"}, {"RUNONCE", "2"},
        {"LOGFILES", "99999999999"},  {"NTPPORT", "0"},       {"LOGDIR", "Q:\\Logs"}};
    const std::vector<std::string> expected{
        "NTPSERVER=ntp example: not a host name or IPv4 address",
        "POLLMINUTES=abc: must be a whole number of minutes from 1 to 71582",
        "RUNONCE=2: must be 0 or 1",
        "LOGDIR=Q:\\Logs: drive Q:\\ does not exist",
        "LOGFILES=99999999999: must be a whole number of files from 0 to 4294967295",
        "NTPPORT=0: must be a whole number of a port from 1 to 65535"};
    EXPECT_EQ(machine.plan().problems, expected);

    const std::vector<std::string> folders{"Logs",
                                           "C:Logs",
                                           "C:\\Lo|gs",
                                           "\\\\files\\missing\\x",
                                           "C:\\Logs:stream",
                                           "C:\\" + std::string(250, 'a')};
    for (const std::string& folder : folders) {
        machine.properties = {{"LOGDIR", folder}};
        EXPECT_EQ(machine.plan().problems.size(), 1u) << folder;
    }
    machine.properties = {{"POLLMINUTES", "71582"}, {"MAXADJUST", "4294967295"}};
    EXPECT_TRUE(machine.plan().problems.empty());
}

TEST(InstallSettings, PathRootNamesTheDriveOrShare) {
    EXPECT_EQ(pathRoot("D:\\Logs"), "D:\\");
    EXPECT_EQ(pathRoot("\\\\host\\share\\Logs"), "\\\\host\\share\\");
    EXPECT_EQ(pathRoot("\\\\host\\share"), "\\\\host\\share\\");
    for (const char* path : {"", "D:", "D:Logs", "\\Logs", "\\\\host", "\\\\host\\", "\\\\\\x\\y",
                             "\\\\host\\\\share", "1:\\x"}) {
        EXPECT_EQ(pathRoot(path), "") << path;
    }
}
