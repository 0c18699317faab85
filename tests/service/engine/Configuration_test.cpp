#include "common/PendraSettings.h"
#include "service/engine/RegistryKey.h"
#include "service/engine/ServiceConfiguration.h"
#include "service/errors/BaseException.h"
#include "tests/fakes/FakeRegistry.h"
#include "tests/support/ReadFailure.h"

#include <gtest/gtest.h>

#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr auto machine = PredefinedRoot::localMachine;
constexpr const char* clientPath = "Software\\Tarnwick\\NTP Client";

const std::string missingKey = "missing registry key";
const std::string missingEntry = "missing registry entry";
const std::string unexpectedFormat = "unexpected format registry value";
const std::string expansionFailed = "unable to expand environment variables in registry";

std::vector<std::uint8_t> bytesOf(const std::string& text) {
    return {text.begin(), text.end()};
}

class ConfigurationTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake_registry::reset();
        fake_registry::setDword(machine, clientPath, "WriteLogEntries", 1);
        fake_registry::setString(machine, clientPath, "LogDirectory", "C:\\Logs");
        fake_registry::setDword(machine, clientPath, "WaitForRAS", 1);
        fake_registry::setDword(machine, clientPath, "RASPollMilliseconds", 5000);
        fake_registry::setDword(machine, clientPath, "RunOnce", 1);
        fake_registry::setString(machine, clientPath, "NTPServerName", "ntp.example.org");
        fake_registry::setDword(machine, clientPath, "NTPPollMilliseconds", 60000);
    }
    void TearDown() override {
        EXPECT_EQ(fake_registry::openHandleCount(), 0u);
        EXPECT_EQ(fake_registry::invalidCloseCount(), 0u);
    }

    ServiceConfiguration config;
};

TEST_F(ConfigurationTest, CompleteKeyFillsEveryFieldAndClosesBothKeys) {
    config.serverPort = 999;
    config.maxAdjustSeconds = 5;
    ASSERT_EQ(readFailure(config), "");
    EXPECT_TRUE(config.writeLogEntries);
    EXPECT_EQ(config.logDirectory, "C:\\Logs");
    EXPECT_TRUE(config.waitForRas);
    EXPECT_EQ(config.rasPollMilliseconds, 5000u);
    EXPECT_TRUE(config.runOnce);
    EXPECT_EQ(config.serverName, "ntp.example.org");
    EXPECT_EQ(config.ntpPollMilliseconds, 60000u);
    EXPECT_EQ(config.serverPort, 123);
    EXPECT_EQ(config.maxAdjustSeconds, 0u);
    EXPECT_EQ(fake_registry::closeCount(), 2u);
}

TEST_F(ConfigurationTest, MissingKeysFailBeforeAnyValue) {
    for (const char* path : {clientPath, "Software\\Tarnwick"}) {
        SetUp();
        ASSERT_TRUE(fake_registry::deleteKey(machine, path));
        config.writeLogEntries = true;
        EXPECT_EQ(readFailure(config), missingKey) << path;
        EXPECT_FALSE(config.writeLogEntries);
    }
}

TEST_F(ConfigurationTest, SwitchedOffFeaturesNeedNoFurtherValues) {
    fake_registry::setDword(machine, clientPath, "WriteLogEntries", 0);
    fake_registry::setDword(machine, clientPath, "WaitForRAS", 0);
    ASSERT_TRUE(fake_registry::deleteValue(machine, clientPath, "LogDirectory"));
    ASSERT_TRUE(fake_registry::deleteValue(machine, clientPath, "RASPollMilliseconds"));
    config.logDirectory = "stale";
    config.writeLogEntries = true;
    ASSERT_EQ(readFailure(config), "");
    EXPECT_FALSE(config.writeLogEntries);
    EXPECT_FALSE(config.logDirectory.has_value());
    EXPECT_FALSE(config.waitForRas);
}

TEST_F(ConfigurationTest, EachMissingRequiredValueFailsAndKeepsWhatWasRead) {
    const std::vector<std::string> required = {
        "WriteLogEntries", "LogDirectory",  "WaitForRAS",         "RASPollMilliseconds",
        "RunOnce",         "NTPServerName", "NTPPollMilliseconds"};
    for (std::size_t missing = 0; missing < required.size(); ++missing) {
        SetUp();
        ASSERT_TRUE(fake_registry::deleteValue(machine, clientPath, required[missing]));
        ServiceConfiguration partial;
        EXPECT_EQ(readFailure(partial), missingEntry) << required[missing];
        // writeLogEntries waits for LogDirectory; every later field waits for its own value.
        EXPECT_EQ(partial.writeLogEntries, missing > 1) << required[missing];
        EXPECT_EQ(partial.logDirectory.has_value(), missing > 1);
        EXPECT_EQ(partial.waitForRas, missing > 2);
        EXPECT_EQ(partial.rasPollMilliseconds, missing > 3 ? 5000u : 0u);
        EXPECT_EQ(partial.runOnce, missing > 4);
        EXPECT_EQ(partial.serverName.empty(), missing <= 5);
        EXPECT_EQ(partial.ntpPollMilliseconds, 0u);
        EXPECT_EQ(fake_registry::openHandleCount(), 0u);
    }
}

TEST_F(ConfigurationTest, RequiredDwordOfAnotherTypeFailsBySize) {
    for (const char* name : {"WriteLogEntries", "WaitForRAS", "RASPollMilliseconds", "RunOnce",
                             "NTPPollMilliseconds"}) {
        SetUp();
        fake_registry::setString(machine, clientPath, name, "123456789012");
        EXPECT_EQ(readFailure(config), missingEntry) << name;
        fake_registry::setBinary(machine, clientPath, name, {1, 0, 0, 0});
        EXPECT_EQ(readFailure(config), unexpectedFormat) << name;
    }
}

TEST_F(ConfigurationTest, ServerNameAcceptsPlainTextOnly) {
    fake_registry::setExpandString(machine, clientPath, "NTPServerName", "ntp.example.org");
    EXPECT_EQ(readFailure(config), unexpectedFormat);

    const std::string longName(300, 'n');
    fake_registry::setString(machine, clientPath, "NTPServerName", longName);
    ASSERT_EQ(readFailure(config), "");
    EXPECT_EQ(config.serverName, longName);
}

TEST_F(ConfigurationTest, MalformedTextIsReadWithinItsData) {
    struct Case {
        std::vector<std::uint8_t> data;
        std::string expected;
    };
    const std::vector<Case> cases = {{bytesOf("unterminated"), "unterminated"},
                                     {{}, ""},
                                     {bytesOf(std::string("first\0second", 12)), "first"}};
    for (const Case& c : cases) {
        fake_registry::setValue(machine, clientPath, "NTPServerName", registry_type::string,
                                c.data);
        fake_registry::setValue(machine, clientPath, "LogDirectory", registry_type::string, c.data);
        ASSERT_EQ(readFailure(config), "");
        EXPECT_EQ(config.serverName, c.expected);
        EXPECT_EQ(config.logDirectory, c.expected);
    }
}

TEST_F(ConfigurationTest, LogDirectoryExpandsEnvironmentReferences) {
    fake_registry::setEnvironmentVariable("PROGRAMDATA", "C:\\ProgramData");
    fake_registry::setExpandString(machine, clientPath, "LogDirectory",
                                   "%ProgramData%\\Pendra\\%UNDEFINED%");
    ASSERT_EQ(readFailure(config), "");
    EXPECT_EQ(config.logDirectory, "C:\\ProgramData\\Pendra\\%UNDEFINED%");

    // Unterminated data is expanded from a terminated copy.
    fake_registry::setValue(machine, clientPath, "LogDirectory", registry_type::expandString,
                            bytesOf("%programdata%"));
    ASSERT_EQ(readFailure(config), "");
    EXPECT_EQ(config.logDirectory, "C:\\ProgramData");

    // Plain text is never expanded.
    fake_registry::setString(machine, clientPath, "LogDirectory", "%PROGRAMDATA%");
    ASSERT_EQ(readFailure(config), "");
    EXPECT_EQ(config.logDirectory, "%PROGRAMDATA%");
}

TEST_F(ConfigurationTest, FailedExpansionFailsTheConfiguration) {
    fake_registry::setExpandString(machine, clientPath, "LogDirectory", "%TEMP%");
    fake_registry::setExpansionFails(true);
    EXPECT_EQ(readFailure(config), expansionFailed);
    EXPECT_FALSE(config.writeLogEntries);
    EXPECT_FALSE(config.logDirectory.has_value());
}

TEST_F(ConfigurationTest, OptionalValuesCountOnlyAsDwords) {
    fake_registry::setDword(machine, clientPath, "NTPServerPort", 65536 + 123);
    fake_registry::setDword(machine, clientPath, "MaxAdjustSeconds", 30);
    fake_registry::setDword(machine, clientPath, "LogFileCount", 7);
    ASSERT_EQ(readFailure(config), "");
    EXPECT_EQ(config.serverPort, 123);
    EXPECT_EQ(config.maxAdjustSeconds, 30u);
    EXPECT_EQ(config.logFileCount, 7u);

    fake_registry::setDword(machine, clientPath, "NTPServerPort", 0);
    ASSERT_EQ(readFailure(config), "");
    EXPECT_EQ(config.serverPort, 0);

    fake_registry::setString(machine, clientPath, "NTPServerPort", "1123");
    fake_registry::setBinary(machine, clientPath, "MaxAdjustSeconds", {30, 0, 0, 0});
    ASSERT_TRUE(fake_registry::deleteValue(machine, clientPath, "LogFileCount"));
    ASSERT_EQ(readFailure(config), "");
    EXPECT_EQ(config.serverPort, 123);
    EXPECT_EQ(config.maxAdjustSeconds, 0u);
    EXPECT_EQ(config.logFileCount, 7u); // not reset: only read when present

    // A REG_DWORD with eight bytes is no number either; it must not stop the service.
    fake_registry::setValue(machine, clientPath, "NTPServerPort", registry_type::dword,
                            {0x63, 0x04, 0, 0, 0, 0, 0, 0});
    ASSERT_EQ(readFailure(config), "");
    EXPECT_EQ(config.serverPort, 123);
}

TEST_F(ConfigurationTest, SamplesAreOneUnlessAWholeDwordFromOneToEightSaysOtherwise) {
    ASSERT_EQ(readFailure(config), "");
    EXPECT_EQ(config.samples, 1u);
    fake_registry::setDword(machine, clientPath, "NTPSamples", 8);
    ASSERT_EQ(readFailure(config), "");
    EXPECT_EQ(config.samples, 8u);

    const std::string refused = "NTPSamples must be a REG_DWORD from 1 to 8";
    for (const std::uint32_t bad : {0u, 9u, 0xFFFFFFFFu}) {
        fake_registry::setDword(machine, clientPath, "NTPSamples", bad);
        EXPECT_EQ(readFailure(config), refused) << bad;
    }
    fake_registry::setString(machine, clientPath, "NTPSamples", "4");
    EXPECT_EQ(readFailure(config), refused);
    fake_registry::setValue(machine, clientPath, "NTPSamples", registry_type::dword,
                            {4, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(readFailure(config), refused);

    // A later read without the value is back to one.
    ASSERT_TRUE(fake_registry::deleteValue(machine, clientPath, "NTPSamples"));
    ASSERT_EQ(readFailure(config), "");
    EXPECT_EQ(config.samples, 1u);
}

TEST_F(ConfigurationTest, UseNtsIsOffUnlessAWholeDwordOfOneSaysOtherwise) {
    config.useNts = true;
    ASSERT_EQ(readFailure(config), "");
    EXPECT_FALSE(config.useNts);
    fake_registry::setDword(machine, clientPath, "UseNTS", 1);
    ASSERT_EQ(readFailure(config), "");
    EXPECT_TRUE(config.useNts);

    // Not "on whenever not 0": a 2 or a text is more likely a mistake than a wish.
    const std::string refused = "UseNTS must be a REG_DWORD from 0 to 1";
    fake_registry::setDword(machine, clientPath, "UseNTS", 2);
    EXPECT_EQ(readFailure(config), refused);
    fake_registry::setString(machine, clientPath, "UseNTS", "1");
    EXPECT_EQ(readFailure(config), refused);
    fake_registry::setDword(machine, clientPath, "UseNTS", 0);
    ASSERT_EQ(readFailure(config), "");
    EXPECT_FALSE(config.useNts);
}

// Both files are read alike: a full path on a drive or a share, expanded where it is a
// REG_EXPAND_SZ, is taken; anything else is set aside with the reason; empty names none.
TEST_F(ConfigurationTest, FilesAreTakenOnlyAsFullPaths) {
    struct File {
        const char* name;
        std::optional<std::string> ServiceConfiguration::*path;
        std::string ServiceConfiguration::*ignored;
        std::string without;
    };
    const File files[] = {
        {"MetricsFile", &ServiceConfiguration::metricsFile,
         &ServiceConfiguration::metricsFileIgnored, "no metrics are written"},
        {"NTSTrustedCertificates", &ServiceConfiguration::ntsTrustedCertificates,
         &ServiceConfiguration::ntsTrustedCertificatesIgnored,
         "only the machine's trusted roots are used"},
    };
    for (const File& file : files) {
        SCOPED_TRACE(file.name);
        SetUp();
        fake_registry::setEnvironmentVariable("ProgramData", "C:\\ProgramData");
        config.*file.path = "stale";
        config.*file.ignored = "stale";
        ASSERT_EQ(readFailure(config), "");
        EXPECT_EQ(config.*file.path, std::nullopt);
        EXPECT_EQ(config.*file.ignored, "");

        for (const char* full : {"C:\\x.pem", "d:/x.pem", "\\\\files\\share\\x.pem"}) {
            fake_registry::setString(machine, clientPath, file.name, full);
            ASSERT_EQ(readFailure(config), "");
            EXPECT_EQ(config.*file.path, full);
            EXPECT_EQ(config.*file.ignored, "");
        }
        fake_registry::setExpandString(machine, clientPath, file.name, "%ProgramData%\\x.pem");
        ASSERT_EQ(readFailure(config), "");
        EXPECT_EQ(config.*file.path, "C:\\ProgramData\\x.pem");

        for (const char* relative : {"x.pem", "C:x.pem", "\\x.pem"}) {
            fake_registry::setString(machine, clientPath, file.name, relative);
            ASSERT_EQ(readFailure(config), "");
            EXPECT_EQ(config.*file.path, std::nullopt);
            EXPECT_EQ(config.*file.ignored, std::string(file.name) + " " + relative +
                                                " is no full path: " + file.without);
        }
        fake_registry::setDword(machine, clientPath, file.name, 5);
        ASSERT_EQ(readFailure(config), "");
        EXPECT_EQ(config.*file.path, std::nullopt);
        EXPECT_EQ(config.*file.ignored, std::string(file.name) + " is no text: " + file.without);

        fake_registry::setString(machine, clientPath, file.name, "");
        ASSERT_EQ(readFailure(config), "");
        EXPECT_EQ(config.*file.path, std::nullopt);
        EXPECT_EQ(config.*file.ignored, "");
    }
}

// A MetricsFile set aside for its type once ended the reading: the values after it must still
// count.
TEST_F(ConfigurationTest, AMetricsFileOfAnotherTypeDoesNotHideTheValuesAfterIt) {
    fake_registry::setBinary(machine, clientPath, "MetricsFile", {'C', ':', '\\', 0});
    fake_registry::setDword(machine, clientPath, "UseNTS", 1);
    fake_registry::setString(machine, clientPath, "NTSTrustedCertificates", "C:\\certs\\ca.pem");
    ASSERT_EQ(readFailure(config), "");
    EXPECT_EQ(config.metricsFileIgnored, "MetricsFile is no text: no metrics are written");
    EXPECT_TRUE(config.useNts);
    EXPECT_EQ(config.ntsTrustedCertificates, "C:\\certs\\ca.pem");
    fake_registry::setDword(machine, clientPath, "UseNTS", 3);
    EXPECT_EQ(readFailure(config), "UseNTS must be a REG_DWORD from 0 to 1");
}

class RegistryKeyTest : public ::testing::Test {
protected:
    void SetUp() override { fake_registry::reset(); }
};

TEST_F(RegistryKeyTest, RootsAreNeverClosedAndSubkeysExactlyOnce) {
    fake_registry::createKey(machine, clientPath);
    {
        LocalMachineKey root;
        RegistrySubKey client(root, clientPath);
        EXPECT_EQ(fake_registry::openHandleCount(), 1u);
        client.close();
        EXPECT_EQ(client.handle(), nullptr);
        client.close();
        root.close();
        EXPECT_EQ(fake_registry::closeCount(), 1u);
    }
    EXPECT_EQ(fake_registry::closeCount(), 1u);
    EXPECT_EQ(fake_registry::invalidCloseCount(), 0u);
}

TEST_F(RegistryKeyTest, SubkeysCloseWhileAnExceptionPasses) {
    fake_registry::createKey(machine, clientPath);
    try {
        CurrentUserKey wrongRoot;
        EXPECT_THROW(RegistrySubKey(wrongRoot, clientPath), SimpleException);
        LocalMachineKey root;
        RegistrySubKey vendor(root, "SOFTWARE\\tarnwick");
        RegistrySubKey client(vendor, "ntp client");
        EXPECT_EQ(fake_registry::openHandleCount(), 2u);
        client.readDword("Absent");
        ADD_FAILURE() << "an absent value was read";
    } catch (const SimpleException& e) {
        EXPECT_EQ(e.what(), missingEntry);
    }
    EXPECT_EQ(fake_registry::closeCount(), 2u);
    EXPECT_EQ(fake_registry::openHandleCount(), 0u);
    EXPECT_EQ(fake_registry::invalidCloseCount(), 0u);
}

TEST_F(RegistryKeyTest, QueryValueInfoReportsTypeAndSizeOrZeros) {
    fake_registry::setString(machine, clientPath, "Name", "abc");
    LocalMachineKey root;
    RegistrySubKey client(root, clientPath);
    std::uint32_t type = 99;
    std::uint32_t size = 99;
    EXPECT_TRUE(client.queryValueInfo("NAME", type, size));
    EXPECT_EQ(type, registry_type::string);
    EXPECT_EQ(size, 4u);
    EXPECT_FALSE(client.queryValueInfo("Other", type, size));
    EXPECT_EQ(type, 0u);
    EXPECT_EQ(size, 0u);
}

TEST_F(RegistryKeyTest, ShortDwordReadsOnlyItsOwnBytes) {
    fake_registry::setValue(machine, clientPath, "Short", registry_type::dword, {0x34, 0x12});
    LocalMachineKey root;
    RegistrySubKey client(root, clientPath);
    EXPECT_EQ(client.readDword("Short"), 0x1234u);
}

TEST_F(RegistryKeyTest, HandleOutlivingResetFailsInsteadOfDangling) {
    fake_registry::setDword(machine, clientPath, "Value", 1);
    LocalMachineKey root;
    RegistrySubKey client(root, clientPath);
    fake_registry::reset();
    fake_registry::setDword(machine, clientPath, "Value", 2);
    try {
        client.readDword("Value");
        ADD_FAILURE() << "a deleted key was read";
    } catch (const SimpleException& e) {
        EXPECT_EQ(e.what(), missingEntry);
    }
    client.close();
    EXPECT_EQ(fake_registry::openHandleCount(), 0u);
    EXPECT_EQ(fake_registry::invalidCloseCount(), 0u);
}

TEST(FakeRegistryTest, QueriesBehaveLikeRegQueryValueEx) {
    fake_registry::reset();
    fake_registry::setBinary(machine, clientPath, "Data", {1, 2, 3, 4, 5});
    RegistryHandle key = nullptr;
    ASSERT_EQ(registryOpenKey(registryRoot(machine), clientPath, &key), 0);
    std::uint8_t buffer[8] = {};
    std::uint32_t type = 0;
    std::uint32_t size = 4;
    EXPECT_EQ(registryQueryValue(key, "Data", &type, buffer, &size), fake_registry::errorMoreData);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(type, registry_type::binary);
    EXPECT_EQ(registryQueryValue(key, "Data", nullptr, buffer, &size), 0);
    EXPECT_EQ(buffer[4], 5);
    EXPECT_EQ(registryQueryValue(key, "Missing", &type, nullptr, &size),
              fake_registry::errorFileNotFound);
    registryCloseKey(key);
    EXPECT_EQ(registryQueryValue(key, "Data", &type, nullptr, &size),
              fake_registry::errorInvalidHandle);
    EXPECT_EQ(fake_registry::closeCount(), 1u);
}

TEST(FakeRegistryTest, ExpansionReportsTheSizeItNeeds) {
    fake_registry::reset();
    fake_registry::setEnvironmentVariable("Name", "value");
    char small[1] = {'x'};
    EXPECT_EQ(expandEnvironmentStrings("<%NAME%>", small, 1), 8u);
    EXPECT_EQ(small[0], 'x');
    char buffer[16] = {};
    EXPECT_EQ(expandEnvironmentStrings("<%NAME%>%%%", buffer, 16), 11u);
    EXPECT_STREQ(buffer, "<value>%%%");
}

} // namespace

// Every value the settings description says Pendra reads is read as it says: a required one
// ends the service when missing, a conditional one only while its flag is on, an optional one
// never, and a strict one refuses a number outside its range with its own text.
TEST_F(ConfigurationTest, ReadsEachValueAsTheSettingsDescriptionSays) {
    using pendra_settings::Reading;
    for (const pendra_settings::Setting* setting : pendra_settings::all) {
        SCOPED_TRACE(setting->name);
        SetUp();
        fake_registry::deleteValue(machine, clientPath, setting->name);
        const bool needed =
            setting->reading == Reading::required || setting->reading == Reading::conditional;
        EXPECT_EQ(readFailure(config), needed ? missingEntry : "");
        if (setting->reading == Reading::conditional) {
            fake_registry::setDword(machine, clientPath, setting->condition, 0);
            EXPECT_EQ(readFailure(config), "");
        }
        if (setting->reading == Reading::optional) {
            fake_registry::setString(machine, clientPath, setting->name, "7");
            EXPECT_EQ(readFailure(config), "");
        }
        if (setting->reading == Reading::strict) {
            const std::string refusal = std::string(setting->name) + " must be a REG_DWORD from " +
                                        std::to_string(setting->least) + " to " +
                                        std::to_string(setting->most);
            for (const std::uint32_t value : {setting->least, setting->most}) {
                fake_registry::setDword(machine, clientPath, setting->name, value);
                EXPECT_EQ(readFailure(config), "");
            }
            for (const std::uint32_t value : {setting->least - 1, setting->most + 1}) {
                fake_registry::setDword(machine, clientPath, setting->name, value);
                EXPECT_EQ(readFailure(config), refusal);
            }
            // Of another type, it is refused even where 0 is in range.
            fake_registry::setString(machine, clientPath, setting->name, "0");
            EXPECT_EQ(readFailure(config), refusal);
        }
    }
}

// A value under the policy key overrides the local one and is read by the same rules; the
// names that came from policy are kept for the log, and a second reading tells what changed.
TEST_F(ConfigurationTest, PolicyValuesOverrideAndChangesAreNamed) {
    const char* policyPath = "Software\\Policies\\Tarnwick\\NTP Client";
    fake_registry::setString(machine, policyPath, "NTPServerName", "policy.example.org");
    fake_registry::setDword(machine, policyPath, "NTPSamples", 4);
    ASSERT_EQ(readFailure(config), "");
    EXPECT_EQ(config.serverName, "policy.example.org");
    EXPECT_EQ(config.samples, 4u);
    EXPECT_EQ(config.fromPolicy, (std::vector<std::string>{"NTPServerName", "NTPSamples"}));
    EXPECT_EQ(fake_registry::closeCount(), 3u);

    const ServiceConfiguration before = config;
    fake_registry::setDword(machine, clientPath, "NTPPollMilliseconds", 30000);
    fake_registry::setString(machine, clientPath, "NTPServerName", "local.example.org");
    ASSERT_EQ(readFailure(config), "");
    EXPECT_EQ(changedSettings(before, config),
              (std::vector<std::string>{"NTPPollMilliseconds"})); // policy still names the server

    // The NTS values too, named in the description's order when they change.
    fake_registry::setString(machine, policyPath, "NTSTrustedCertificates", "ca.pem");
    fake_registry::setDword(machine, policyPath, "UseNTS", 1);
    fake_registry::setString(machine, clientPath, "NTSTrustedCertificates", "C:\\ca.pem");
    const ServiceConfiguration withoutNts = config;
    ASSERT_EQ(readFailure(config), "");
    EXPECT_TRUE(config.useNts);
    EXPECT_EQ(config.ntsTrustedCertificates, std::nullopt);
    EXPECT_EQ(config.ntsTrustedCertificatesIgnored,
              "NTSTrustedCertificates ca.pem is no full path: only the machine's trusted roots "
              "are used");
    EXPECT_EQ(config.fromPolicy, (std::vector<std::string>{"NTPServerName", "NTPSamples", "UseNTS",
                                                           "NTSTrustedCertificates"}));
    EXPECT_EQ(changedSettings(withoutNts, config),
              (std::vector<std::string>{"UseNTS", "NTSTrustedCertificates"}));

    // Garbage under the policy key fails as the same garbage would locally.
    fake_registry::setString(machine, policyPath, "NTPSamples", "4");
    EXPECT_EQ(readFailure(config), "NTPSamples must be a REG_DWORD from 1 to 8");
    fake_registry::setDword(machine, policyPath, "NTPServerName", 7);
    EXPECT_EQ(readFailure(config), unexpectedFormat);
}

// A query reads the port and the NTS values as the service does, from either key or none, and
// refuses what the service would refuse at its start.
TEST_F(ConfigurationTest, AQueryReadsItsValuesByTheServicesRules) {
    const char* policyPath = "Software\\Policies\\Tarnwick\\NTP Client";
    const auto queryFailure = [this] {
        try {
            readQueryConfiguration(config);
        } catch (const std::exception& e) {
            return std::string(e.what());
        }
        return std::string();
    };
    fake_registry::setDword(machine, clientPath, "UseNTS", 1);
    fake_registry::setString(machine, clientPath, "NTSTrustedCertificates", "certs.pem");
    fake_registry::setDword(machine, policyPath, "NTPServerPort", 1123);
    ASSERT_EQ(queryFailure(), "");
    EXPECT_EQ(config.serverPort, 1123);
    EXPECT_TRUE(config.useNts);
    EXPECT_EQ(config.ntsTrustedCertificates, std::nullopt);
    EXPECT_EQ(config.ntsTrustedCertificatesIgnored,
              "NTSTrustedCertificates certs.pem is no full path: only the machine's trusted "
              "roots are used");

    fake_registry::setString(machine, policyPath, "UseNTS", "1");
    EXPECT_EQ(queryFailure(), "UseNTS must be a REG_DWORD from 0 to 1");
    fake_registry::setDword(machine, policyPath, "UseNTS", 2);
    EXPECT_EQ(queryFailure(), "UseNTS must be a REG_DWORD from 0 to 1");

    // Policy alone, and then no key at all: the defaults where nothing stands.
    ASSERT_TRUE(fake_registry::deleteKey(machine, clientPath));
    fake_registry::setDword(machine, policyPath, "UseNTS", 0);
    ASSERT_EQ(queryFailure(), "");
    EXPECT_EQ(config.serverPort, 1123);
    EXPECT_FALSE(config.useNts);
    EXPECT_EQ(config.ntsTrustedCertificatesIgnored, "");
    ASSERT_TRUE(fake_registry::deleteKey(machine, policyPath));
    config.serverPort = 999;
    ASSERT_EQ(queryFailure(), "");
    EXPECT_EQ(config.serverPort, 123);
}
