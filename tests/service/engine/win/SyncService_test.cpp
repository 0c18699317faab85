// The service object under Wine: the dial-up check with its entry points replaced, and the
// stop paths that need no network.
#include "service/engine/win/SyncService.h"
#include "service/engine/win/WinsockGuards.h"
#include "service/errors/BaseException.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <raserror.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

const char* const settingsKey = "Software\\Tarnwick\\NTP Client";

// Writes the service's settings for one test and removes them afterwards.
class Settings {
public:
    Settings() {
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, settingsKey);
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, settingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key_, nullptr);
    }
    ~Settings() {
        RegCloseKey(key_);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, settingsKey);
    }
    Settings(const Settings&) = delete;
    Settings& operator=(const Settings&) = delete;

    void set(const char* name, DWORD value) {
        RegSetValueExA(key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                       sizeof value);
    }
    void set(const char* name, const std::string& value) {
        RegSetValueExA(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1));
    }

private:
    HKEY key_ = nullptr;
};

class LogDirectory {
public:
    LogDirectory() {
        char base[MAX_PATH];
        GetTempPathA(MAX_PATH, base);
        path_ = std::string(base) + "pendra-service-" + std::to_string(GetCurrentProcessId()) +
                "-" + std::to_string(GetTickCount64());
        CreateDirectoryA(path_.c_str(), nullptr);
    }
    ~LogDirectory() {
        WIN32_FIND_DATAA found;
        FindHandle search(FindFirstFileA((path_ + "\\*.ntp").c_str(), &found));
        if (search.valid()) {
            do {
                DeleteFileA((path_ + "\\" + found.cFileName).c_str());
            } while (FindNextFileA(search.get(), &found));
        }
        RemoveDirectoryA(path_.c_str());
    }
    const std::string& path() const { return path_; }

    // Every line of every log file, without the 30-character prefix.
    std::vector<std::string> texts() const {
        std::vector<std::string> result;
        WIN32_FIND_DATAA found;
        FindHandle search(FindFirstFileA((path_ + "\\*.ntp").c_str(), &found));
        if (!search.valid()) {
            return result;
        }
        do {
            std::ifstream in(path_ + "\\" + found.cFileName);
            std::string line;
            while (std::getline(in, line)) {
                result.push_back(line.size() >= 30 ? line.substr(30) : line);
            }
        } while (FindNextFileA(search.get(), &found));
        return result;
    }

private:
    std::string path_;
};

class SyncServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        settings.set("WriteLogEntries", 1);
        settings.set("LogDirectory", logs.path());
        settings.set("WaitForRAS", 1);
        settings.set("RASPollMilliseconds", 10);
        settings.set("RunOnce", 0);
        // Never reached: these tests make no exchange.
        settings.set("NTPServerName", "127.0.0.1");
        settings.set("NTPPollMilliseconds", 60000);
    }
    Settings settings;
    LogDirectory logs;
};

std::atomic<DWORD> enumCalls{0};
DWORD connectedIndex = 0;
DWORD reportedCount = 0;

DWORD APIENTRY failingEnum(LPRASCONNA, LPDWORD bytes, LPDWORD count) {
    ++enumCalls;
    if (*bytes == 0) {
        *bytes = 2 * sizeof(RASCONNA);
        *count = 0;
        return ERROR_BUFFER_TOO_SMALL;
    }
    return ERROR_NOT_ENOUGH_MEMORY;
}

// Reports reportedCount connections, however many records it was given room for.
DWORD APIENTRY listingEnum(LPRASCONNA connections, LPDWORD bytes, LPDWORD count) {
    ++enumCalls;
    if (*bytes < reportedCount * sizeof(RASCONNA)) {
        *bytes = reportedCount * sizeof(RASCONNA);
        *count = 0;
        return ERROR_BUFFER_TOO_SMALL;
    }
    for (DWORD i = 0; i < reportedCount; ++i) {
        connections[i].hrasconn = reinterpret_cast<HRASCONN>(static_cast<ULONG_PTR>(i + 1));
    }
    *count = reportedCount;
    return 0;
}

DWORD APIENTRY statusOfIndex(HRASCONN connection, LPRASCONNSTATUSA status) {
    if (status->dwSize != sizeof(RASCONNSTATUSA)) {
        return ERROR_INVALID_SIZE;
    }
    const auto index = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(connection)) - 1;
    status->rasconnstate = index == connectedIndex ? RASCS_Connected : RASCS_Disconnected;
    return 0;
}

DWORD WINAPI runLoop(LPVOID service) {
    static_cast<SyncService*>(service)->run();
    return 0;
}

} // namespace

TEST_F(SyncServiceTest, AFailedDialUpEnumerationEndsTheLoopWithTwoLines) {
    SyncService service(GetModuleHandleA(nullptr));
    service.setRasEntryPoints(&failingEnum, &statusOfIndex);
    ASSERT_TRUE(service.initialize());
    service.run();
    const std::string failure =
        LastErrorException("RasEnumConnections", ERROR_NOT_ENOUGH_MEMORY, "%a: %r").what();
    EXPECT_EQ(logs.texts(), (std::vector<std::string>{"Start Pendra Rev: 1.22, server 127.0.0.1",
                                                      failure, "shutting down NTP service"}));
}

TEST_F(SyncServiceTest, FindsTheConnectedConnectionAmongSeveral) {
    SyncService service(GetModuleHandleA(nullptr));
    service.setRasEntryPoints(&listingEnum, &statusOfIndex);
    ASSERT_TRUE(service.initialize());
    reportedCount = 3;
    connectedIndex = 2;
    EXPECT_TRUE(service.isRasConnected());
    connectedIndex = 7;
    EXPECT_FALSE(service.isRasConnected());
    reportedCount = 0;
    EXPECT_FALSE(service.isRasConnected());
}

TEST_F(SyncServiceTest, WinesDialUpLibraryLoadsAndReportsNoConnection) {
    SyncService service(GetModuleHandleA(nullptr));
    ASSERT_TRUE(service.initialize());
    EXPECT_FALSE(service.isRasConnected());
    EXPECT_FALSE(service.isRasConnected());
    EXPECT_EQ(logs.texts(), std::vector<std::string>{"Start Pendra Rev: 1.22, server 127.0.0.1"});
}

TEST_F(SyncServiceTest, AStopDuringTheDialUpWaitEndsTheLoopWithinOneWait) {
    settings.set("RASPollMilliseconds", 60000);
    SyncService service(GetModuleHandleA(nullptr));
    reportedCount = 0;
    service.setRasEntryPoints(&listingEnum, &statusOfIndex);
    ASSERT_TRUE(service.initialize());
    enumCalls = 0;
    ThreadHandle loopThread(CreateThread(nullptr, 0, &runLoop, &service, 0, nullptr));
    // Wait (bounded) until the loop sits in its dial-up wait.
    for (int i = 0; i < 500 && enumCalls < 2; ++i) {
        Sleep(10);
    }
    const ULONGLONG before = GetTickCount64();
    service.stop();
    EXPECT_LT(GetTickCount64() - before, 5000u);
    EXPECT_EQ(WaitForSingleObject(loopThread.get(), 5000), WAIT_OBJECT_0);
    const auto texts = logs.texts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back(), "stop request");
}

TEST_F(SyncServiceTest, AStopWithoutARunningLoopReturnsAtOnce) {
    SyncService service(GetModuleHandleA(nullptr));
    ASSERT_TRUE(service.initialize());
    service.stop();
    service.shutdown();
    EXPECT_EQ(logs.texts(), (std::vector<std::string>{"Start Pendra Rev: 1.22, server 127.0.0.1",
                                                      "stop request", "shutdown request"}));
}

TEST(WinsockSessionTest, AVersionOtherThanAskedForCleansUpBeforeItThrows) {
    // Asked for 3.0, Winsock starts with 2.2: the session is refused.
    EXPECT_THROW(WinsockSession(3, 0), SimpleException);
    // Nothing is left started: a further clean-up finds no session.
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
}

TEST_F(SyncServiceTest, AStopBeforeTheSettingsAreReadLosesNoLineOfTheRun) {
    SyncService service(GetModuleHandleA(nullptr));
    service.stop();
    ASSERT_TRUE(service.initialize());
    service.log().writeLine("after");
    EXPECT_EQ(logs.texts(),
              (std::vector<std::string>{"Start Pendra Rev: 1.22, server 127.0.0.1", "after"}));
}

TEST_F(SyncServiceTest, AStopRacingTheStartCreatesOneLoggerFromTheReadSettings) {
    // What a window closed while the worker still reads its settings does.
    constexpr int rounds = 40;
    for (int round = 0; round < rounds; ++round) {
        SyncService service(GetModuleHandleA(nullptr));
        std::thread starter([&service] { service.initialize(); });
        service.stop();
        starter.join();
        service.log().writeLine("end of round");
    }
    const auto texts = logs.texts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "Start Pendra Rev: 1.22, server 127.0.0.1"),
              rounds);
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "end of round"), rounds);
}
