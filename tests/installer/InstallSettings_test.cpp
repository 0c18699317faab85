#include "installer/InstallSettings.h"

#include "common/PendraSettings.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <regex>

namespace {

struct Machine {
    std::map<std::string, std::string> properties;
    std::map<std::string, StoredValue> stored;
    std::vector<std::string> roots{"C:\\", "\\\\files\\logs\\"};
    std::string storedFrom;

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
        inputs.storedFrom = storedFrom;
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

TEST(InstallSettings, StoredNumbersOutOfRangeFallBackAndMissingFoldersAreNotCreated) {
    Machine machine;
    machine.stored = {{"NTPSamples", number(10)},
                      {"NTPServerPort", number(0)},
                      {"RunOnce", number(2)},
                      // Klemora stores polls of seconds, which the property's minutes cannot give.
                      {"NTPPollMilliseconds", number(5000)},
                      {"RASPollMilliseconds", number(0)},
                      {"LogDirectory", text("Q:\\Logs")}};
    SettingsPlan plan = machine.plan();
    auto values = written(plan);
    EXPECT_EQ(values["NTPSamples"], "#1");
    EXPECT_EQ(values["NTPServerPort"], "#123");
    EXPECT_EQ(values["RunOnce"], "#2"); // on, as Pendra reads it
    EXPECT_EQ(values["NTPPollMilliseconds"], "#5000");
    EXPECT_EQ(values["RASPollMilliseconds"], "#60000");
    EXPECT_EQ(values["LogDirectory"], "Q:\\Logs");
    EXPECT_TRUE(plan.problems.empty());
    EXPECT_EQ(plan.logFolder, "");
    EXPECT_EQ(plan.notes[10], "NTPSamples = 1 (default, the stored value 10 is not from 1 to 8)");
    EXPECT_EQ(plan.notes[2], "RunOnce = 2 (kept)");
    EXPECT_EQ(plan.notes[5], "LogDirectory = \"Q:\\Logs\" (kept, but the package makes no folder "
                             "there: drive Q:\\ does not exist)");

    machine.stored = {{"NTPSamples", number(8)},
                      {"NTPServerPort", number(65535)},
                      {"NTPPollMilliseconds", number(4294920000)},
                      {"LogDirectory", text("\\\\files\\gone\\pendra")}};
    plan = machine.plan();
    values = written(plan);
    EXPECT_EQ(values["NTPSamples"], "#8");
    EXPECT_EQ(values["NTPServerPort"], "#65535");
    EXPECT_EQ(values["NTPPollMilliseconds"], "#4294920000");
    EXPECT_EQ(values["LogDirectory"], "\\\\files\\gone\\pendra");
    EXPECT_EQ(plan.logFolder, "");
    machine.stored["NTPPollMilliseconds"] = number(4294920001);
    EXPECT_EQ(written(machine.plan())["NTPPollMilliseconds"], "#3600000");
}

TEST(InstallSettings, ValuesFromTheOtherRegistryViewAreNamedSo) {
    Machine machine;
    machine.storedFrom = "the 32-bit registry view";
    machine.stored = {{"NTPServerName", text("ntp.example.net")},
                      {"LogDirectory", text("C:\\Pendra Logs")}};
    const SettingsPlan plan = machine.plan();
    EXPECT_EQ(plan.notes[0],
              "NTPServerName = \"ntp.example.net\" (kept from the 32-bit registry view)");
    EXPECT_EQ(plan.notes[1], "NTPPollMilliseconds = 3600000 (default)");
    EXPECT_EQ(plan.logFolder, "C:\\Pendra Logs\\");
}

TEST(InstallSettings, PropertiesTheSettingsCannotHoldAreAllReported) {
    Machine machine;
    machine.properties = {{"NTPSERVER", "ntp.example ntp/example"},
                          {"POLLMINUTES", "abc"},
                          {"RUNONCE", "2"},
                          {"LOGFILES", "99999999999"},
                          {"NTPPORT", "0"},
                          {"LOGDIR", "Q:\\Logs"}};
    const std::vector<std::string> expected{
        "NTPSERVER=ntp.example ntp/example: \"ntp/example\" is not a host name or IP address",
        "POLLMINUTES=abc: must be a whole number of minutes from 1 to 71582",
        "RUNONCE=2: must be 0 or 1",
        "LOGDIR=Q:\\Logs: drive Q:\\ does not exist",
        "LOGFILES=99999999999: must be a whole number of files from 0 to 4294967295",
        "NTPPORT=0: must be a whole number of a port from 1 to 65535"};
    EXPECT_EQ(machine.plan().problems, expected);

    // A list of names and addresses of both families is written as given.
    const std::string servers = "a.example  2001:db8::1\t[2001:db8::2] fe80::1%2 192.0.2.1";
    machine.properties = {{"NTPSERVER", servers}};
    EXPECT_TRUE(machine.plan().problems.empty());
    EXPECT_EQ(written(machine.plan())["NTPServerName"], servers);
    for (const char* bad : {"   ", "[2001:db8::1", "host:123", "fe80::1%", "a..b:c"}) {
        machine.properties = {{"NTPSERVER", bad}};
        EXPECT_EQ(machine.plan().problems.size(), 1u) << bad;
    }

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

// The package plans every value that has a property, in the description's order, with the
// description's default, and takes exactly the range of numbers that the description gives.
TEST(InstallSettings, EveryPropertyFollowsTheSettingsDescription) {
    using pendra_settings::Shape;
    std::vector<std::string> described;
    for (const pendra_settings::Setting* setting : pendra_settings::all) {
        // A file that nobody names is no file: nothing is written for it.
        if (setting->property != nullptr && setting->shape != Shape::file) {
            described.emplace_back(setting->name);
        }
    }
    const SettingsPlan fresh = Machine{}.plan();
    std::vector<std::string> planned;
    for (const ChosenValue& value : fresh.values) {
        planned.push_back(value.valueName);
    }
    EXPECT_EQ(planned, described);

    for (const pendra_settings::Setting* setting : pendra_settings::all) {
        if (setting->property == nullptr ||
            (setting->shape != Shape::number && setting->shape != Shape::flag)) {
            continue;
        }
        SCOPED_TRACE(setting->name);
        EXPECT_EQ(written(fresh)[setting->name], "#" + std::to_string(setting->initial));

        Machine machine;
        machine.properties[setting->property] = std::to_string(setting->propertyMost());
        EXPECT_EQ(written(machine.plan())[setting->name],
                  "#" + std::to_string(setting->propertyMost() * setting->propertyUnit));
        if (setting->propertyMost() < pendra_settings::anyNumber) {
            machine.properties[setting->property] = std::to_string(setting->propertyMost() + 1);
            EXPECT_EQ(machine.plan().problems.size(), 1u);
        }
        if (setting->shape == Shape::number && setting->most < pendra_settings::anyNumber) {
            machine.properties.clear();
            machine.stored[setting->name] = number(setting->most + 1);
            EXPECT_EQ(written(machine.plan())[setting->name],
                      "#" + std::to_string(setting->initial));
            machine.stored[setting->name] = number(setting->most);
            EXPECT_EQ(written(machine.plan())[setting->name], "#" + std::to_string(setting->most));
        }
    }
}

// The package's registry table writes what the custom action plans: every value with a
// property, and nothing else.
TEST(InstallSettings, ThePackageWritesEveryPlannedValue) {
    std::ifstream source(PENDRA_SOURCE_DIR "/installer/Pendra.wxs");
    ASSERT_TRUE(source.is_open());
    const std::string text((std::istreambuf_iterator<char>(source)), {});
    const std::regex row(
        R"re(<RegistryValue Name="(\w+)" Type="string" Value="\[PendraValue\.(\w+)\]")re");
    std::vector<std::string> rows;
    for (std::sregex_iterator it(text.begin(), text.end(), row), end; it != end; ++it) {
        EXPECT_EQ((*it)[1], (*it)[2]);
        rows.push_back((*it)[1]);
    }
    std::vector<std::string> planned;
    for (const pendra_settings::Setting* setting : pendra_settings::all) {
        if (setting->property != nullptr) {
            planned.emplace_back(setting->name);
        }
    }
    EXPECT_EQ(rows, planned);
}

// An installation over kept settings adds the slew limit only when asked: without it the
// service steps as it always did.
TEST(InstallSettings, KeptSettingsGetNoSlewLimitUnlessAskedFor) {
    Machine machine;
    machine.stored["NTPServerName"] = text("ntp.example");
    const SettingsPlan kept = machine.plan();
    EXPECT_EQ(written(kept).count("MaxSlewMilliseconds"), 0u);
    EXPECT_NE(std::find(kept.notes.begin(), kept.notes.end(),
                        "MaxSlewMilliseconds not written (absent from the settings kept)"),
              kept.notes.end());
    machine.properties["MAXSLEW"] = "250";
    EXPECT_EQ(written(machine.plan())["MaxSlewMilliseconds"], "#250");
    machine.properties.clear();
    machine.stored["MaxSlewMilliseconds"] = number(0);
    EXPECT_EQ(written(machine.plan())["MaxSlewMilliseconds"], "#0");
}

// Network Time Security is off on a new installation and stays absent through an upgrade over
// settings without it, where plain SNTP must go on as it did; its file is written as given.
TEST(InstallSettings, NtsIsOffOnANewInstallationAndAbsentFromKeptSettingsUnlessAskedFor) {
    Machine machine;
    SettingsPlan plan = machine.plan();
    EXPECT_EQ(written(plan)["UseNTS"], "#0");
    EXPECT_EQ(written(plan).count("NTSTrustedCertificates"), 0u);
    EXPECT_EQ(plan.notes.back(), "NTSTrustedCertificates not written (none given)");

    machine.stored["NTPServerName"] = text("ntp.example");
    plan = machine.plan();
    EXPECT_EQ(written(plan).count("UseNTS"), 0u);
    EXPECT_NE(std::find(plan.notes.begin(), plan.notes.end(),
                        "UseNTS not written (absent from the settings kept)"),
              plan.notes.end());

    machine.properties = {{"NTS", "1"}, {"NTSCERTS", "C:\\x.pem"}};
    plan = machine.plan();
    EXPECT_EQ(written(plan)["UseNTS"], "#1");
    EXPECT_EQ(written(plan)["NTSTrustedCertificates"], "C:\\x.pem");
    EXPECT_EQ(plan.notes.back(), "NTSTrustedCertificates = \"C:\\x.pem\" (from NTSCERTS)");

    machine.properties = {{"NTS", "2"}, {"NTSCERTS", "x.pem"}};
    EXPECT_EQ(
        machine.plan().problems,
        (std::vector<std::string>{
            "NTS=2: must be 0 or 1",
            "NTSCERTS=x.pem: not an absolute folder (D:\\folder or \\\\server\\share\\folder)"}));

    // Kept as stored: a number, and a file's text.
    machine.properties.clear();
    machine.stored["UseNTS"] = number(1);
    machine.stored["NTSTrustedCertificates"] = text("\\\\files\\logs\\ca.pem");
    EXPECT_EQ(written(machine.plan())["UseNTS"], "#1");
    EXPECT_EQ(written(machine.plan())["NTSTrustedCertificates"], "\\\\files\\logs\\ca.pem");
}

// An elevated installation passes on only the properties that the package lists as secure:
// every property of the description is among them.
TEST(InstallSettings, EveryPropertyPassesAnElevatedInstallation) {
    std::ifstream source(PENDRA_SOURCE_DIR "/tools/package");
    ASSERT_TRUE(source.is_open());
    const std::string text((std::istreambuf_iterator<char>(source)), {});
    const std::size_t begin = text.find("PUBLIC = (");
    ASSERT_NE(begin, std::string::npos);
    const std::string listed = text.substr(begin, text.find(')', begin) - begin);
    for (const pendra_settings::Setting* setting : pendra_settings::all) {
        if (setting->property != nullptr) {
            EXPECT_NE(listed.find(std::string("'") + setting->property + "'"), std::string::npos)
                << setting->property;
        }
    }
}
