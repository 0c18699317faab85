#include "service/engine/RegistryKey.h"
#include "service/engine/ServiceConfiguration.h"
#include "service/errors/BaseException.h"
#include "tests/support/ReadFailure.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <exception>
#include <string>
#include <vector>

namespace {

const std::string missingKey = "missing registry key";
const std::string missingEntry = "missing registry entry";
const std::string unexpectedFormat = "unexpected format registry value";

class WritableKey {
public:
    WritableKey(HKEY parent, const char* name) {
        EXPECT_EQ(RegCreateKeyExA(parent, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_,
                                  &disposition_),
                  ERROR_SUCCESS)
            << name;
    }
    ~WritableKey() {
        if (key_ != nullptr)
            RegCloseKey(key_);
    }
    WritableKey(const WritableKey&) = delete;
    WritableKey& operator=(const WritableKey&) = delete;

    HKEY get() const { return key_; }
    bool created() const { return disposition_ == REG_CREATED_NEW_KEY; }

private:
    HKEY key_ = nullptr;
    DWORD disposition_ = 0;
};

struct SavedValue {
    std::string name;
    DWORD type;
    std::vector<BYTE> data;
};

// HKLM\Software\Tarnwick\NTP Client emptied for one test; what was there before comes back at
// the end, and keys that did not exist are deleted again.
class TemporaryClientKey {
public:
    TemporaryClientKey() : saved_(values(client_.get())) { clear(client_.get()); }
    ~TemporaryClientKey() {
        {
            // Opened afresh: a test may have deleted the key.
            const WritableKey client(vendor_.get(), "NTP Client");
            clear(client.get());
            for (const SavedValue& value : saved_)
                RegSetValueExA(client.get(), value.name.c_str(), 0, value.type, value.data.data(),
                               static_cast<DWORD>(value.data.size()));
        }
        if (client_.created())
            RegDeleteKeyA(vendor_.get(), "NTP Client");
        if (vendor_.created())
            RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Tarnwick");
    }
    TemporaryClientKey(const TemporaryClientKey&) = delete;
    TemporaryClientKey& operator=(const TemporaryClientKey&) = delete;

    void set(const char* name, DWORD type, const void* data, std::size_t size) {
        EXPECT_EQ(RegSetValueExA(client_.get(), name, 0, type, static_cast<const BYTE*>(data),
                                 static_cast<DWORD>(size)),
                  ERROR_SUCCESS)
            << name;
    }
    void setDword(const char* name, DWORD value) { set(name, REG_DWORD, &value, sizeof value); }
    void setText(const char* name, const std::string& text, DWORD type = REG_SZ) {
        set(name, type, text.c_str(), text.size() + 1);
    }
    void remove(const char* name) { RegDeleteValueA(client_.get(), name); }

private:
    static std::vector<SavedValue> values(HKEY key) {
        std::vector<SavedValue> found;
        for (DWORD index = 0; index < 1000; ++index) {
            char name[256];
            DWORD nameLength = sizeof name;
            DWORD type = 0;
            DWORD size = 0;
            if (RegEnumValueA(key, index, name, &nameLength, nullptr, &type, nullptr, &size) !=
                ERROR_SUCCESS)
                break;
            SavedValue value{name, type, std::vector<BYTE>(size)};
            nameLength = sizeof name;
            RegEnumValueA(key, index, name, &nameLength, nullptr, &type, value.data.data(), &size);
            found.push_back(std::move(value));
        }
        return found;
    }
    static void clear(HKEY key) {
        for (const SavedValue& value : values(key))
            RegDeleteValueA(key, value.name.c_str());
    }

    WritableKey vendor_{HKEY_LOCAL_MACHINE, "Software\\Tarnwick"};
    WritableKey client_{vendor_.get(), "NTP Client"};
    std::vector<SavedValue> saved_;
};

class EnvironmentVariable {
public:
    EnvironmentVariable(const char* name, const char* value) : name_(name) {
        SetEnvironmentVariableA(name, value);
    }
    ~EnvironmentVariable() { SetEnvironmentVariableA(name_, nullptr); }
    EnvironmentVariable(const EnvironmentVariable&) = delete;
    EnvironmentVariable& operator=(const EnvironmentVariable&) = delete;

private:
    const char* name_;
};

class RegistryWinTest : public ::testing::Test {
protected:
    RegistryWinTest() {
        key.setDword("WriteLogEntries", 1);
        key.setText("LogDirectory", "C:\\Logs");
        key.setDword("WaitForRAS", 0);
        key.setDword("RunOnce", 1);
        key.setText("NTPServerName", "ntp.example.org");
        key.setDword("NTPPollMilliseconds", 60000);
    }

    TemporaryClientKey key;
    ServiceConfiguration config;
};

TEST_F(RegistryWinTest, CompleteKeyIsRead) {
    key.setDword("NTPServerPort", 65536 + 123);
    key.setDword("MaxAdjustSeconds", 30);
    key.setDword("UseNTS", 1);
    ASSERT_EQ(readFailure(config), "");
    EXPECT_TRUE(config.writeLogEntries);
    EXPECT_EQ(config.logDirectory, "C:\\Logs");
    EXPECT_FALSE(config.waitForRas);
    EXPECT_TRUE(config.runOnce);
    EXPECT_EQ(config.serverName, "ntp.example.org");
    EXPECT_EQ(config.ntpPollMilliseconds, 60000u);
    EXPECT_EQ(config.serverPort, 123);
    EXPECT_EQ(config.maxAdjustSeconds, 30u);
    EXPECT_TRUE(config.useNts);
}

TEST_F(RegistryWinTest, OptionalValuesOfOtherTypesKeepDefaults) {
    key.setText("NTPServerPort", "1123");
    key.setDword("MaxAdjustSeconds", 0);
    config.serverPort = 1;
    ASSERT_EQ(readFailure(config), "");
    EXPECT_EQ(config.serverPort, 123);
    EXPECT_EQ(config.maxAdjustSeconds, 0u);

    key.setDword("NTPServerPort", 0);
    ASSERT_EQ(readFailure(config), "");
    EXPECT_EQ(config.serverPort, 0);
}

TEST_F(RegistryWinTest, RequiredValuesOfWrongShape) {
    key.setText("RunOnce", "123456789012");
    EXPECT_EQ(readFailure(config), missingEntry);

    const BYTE four[4] = {1, 0, 0, 0};
    key.set("RunOnce", REG_BINARY, four, sizeof four);
    EXPECT_EQ(readFailure(config), unexpectedFormat);
    EXPECT_EQ(config.serverName, "");

    key.setDword("RunOnce", 0);
    key.setText("NTPServerName", "ntp.example.org", REG_EXPAND_SZ);
    EXPECT_EQ(readFailure(config), unexpectedFormat);

    key.setText("NTPServerName", "ntp.example.org");
    key.setDword("WaitForRAS", 1);
    EXPECT_EQ(readFailure(config), missingEntry);
    EXPECT_TRUE(config.waitForRas);
}

TEST_F(RegistryWinTest, PathsExpandTheProcessEnvironment) {
    const EnvironmentVariable variable("PENDRA_TEST_ROOT", "C:\\pendra-test");
    key.setText("LogDirectory", "%pendra_test_root%\\logs\\%PENDRA_UNDEFINED%", REG_EXPAND_SZ);
    // A file's path too, and only once expanded is it judged a full path.
    key.setText("NTSTrustedCertificates", "%PENDRA_TEST_ROOT%\\ca.pem", REG_EXPAND_SZ);
    ASSERT_EQ(readFailure(config), "");
    EXPECT_EQ(config.logDirectory, "C:\\pendra-test\\logs\\%PENDRA_UNDEFINED%");
    EXPECT_EQ(config.ntsTrustedCertificates, "C:\\pendra-test\\ca.pem");
}

TEST_F(RegistryWinTest, TextsAreReadWithinTheirData) {
    const std::string longName(300, 'n');
    key.setText("NTPServerName", longName);
    ASSERT_EQ(readFailure(config), "");
    EXPECT_EQ(config.serverName, longName);

    key.set("NTPServerName", REG_SZ, "unterminated", 12);
    key.set("LogDirectory", REG_SZ, "", 0);
    ASSERT_EQ(readFailure(config), "");
    EXPECT_EQ(config.serverName, "unterminated");
    EXPECT_EQ(config.logDirectory, "");
}

TEST_F(RegistryWinTest, KeysOpenWithoutRegardToCaseAndCloseOnce) {
    const LocalMachineKey root;
    EXPECT_THROW(RegistrySubKey(root, "Software\\Tarnwick\\No Such Key"), SimpleException);
    RegistrySubKey client(root, "SOFTWARE\\tarnwick\\ntp client");
    EXPECT_EQ(client.readDword("writelogentries"), 1u);
    try {
        client.readDword("NoSuchValue");
        ADD_FAILURE() << "an absent value was read";
    } catch (const SimpleException& e) {
        EXPECT_EQ(e.what(), missingEntry);
    }
    client.close();
    EXPECT_EQ(client.handle(), nullptr);
    client.close();

    key.remove("NTPServerName");
    EXPECT_EQ(readFailure(config), missingEntry);
}

TEST_F(RegistryWinTest, MissingKeyIsReported) {
    // The service's status record may stand under the key, left by a test that ran the service.
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Tarnwick\\NTP Client\\Status");
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Tarnwick\\NTP Client"), ERROR_SUCCESS);
    EXPECT_EQ(readFailure(config), missingKey);
}

} // namespace
