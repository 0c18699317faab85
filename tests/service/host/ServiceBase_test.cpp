// The state bookkeeping of the service object, without a service control manager.
#include "service/host/ServiceBase.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class RecordingService : public ServiceBase {
public:
    RecordingService() : ServiceBase(GetModuleHandleA(nullptr), "PendraTest", 5) {}
    void run() override { calls.push_back("run"); }
    bool initialize() override {
        calls.push_back("initialize");
        SetLastError(initializeError);
        return initializeResult;
    }
    void stop() override { calls.push_back("stop"); }
    void shutdown() override { calls.push_back("shutdown"); }
    void interrogate() override { calls.push_back("interrogate"); }
    bool userControl(DWORD code) override {
        calls.push_back("user " + std::to_string(code));
        return true;
    }

    std::vector<std::string> calls;
    bool initializeResult = true;
    DWORD initializeError = 0;
};

} // namespace

TEST(ServiceBase, StartsStoppedAsAnOwnProcessServiceAndIsTheProcesssService) {
    RecordingService service;
    EXPECT_EQ(theService, &service);
    EXPECT_EQ(service.status.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(service.status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(service.status.dwControlsAccepted, 5u);
    // Wine presents itself as Windows NT unless told otherwise.
    EXPECT_TRUE(service.isWindowsNT);
}

TEST(ServiceBase, NothingIsRecordedAfterTheStoppedState) {
    RecordingService service;
    service.setStatus(SERVICE_RUNNING);
    service.setStatus(SERVICE_STOPPED);
    EXPECT_TRUE(service.stoppedReported);
    EXPECT_EQ(service.status.dwServiceSpecificExitCode, 1u);
    service.setStatus(SERVICE_RUNNING);
    service.setStatus(SERVICE_STOP_PENDING);
    EXPECT_EQ(service.status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
}

TEST(ServiceBase, WithoutWindowsNTStatesAreOnlyRecorded) {
    RecordingService service;
    service.isWindowsNT = false;
    service.setStatus(SERVICE_STOPPED);
    EXPECT_FALSE(service.stoppedReported);
    EXPECT_EQ(service.status.dwServiceSpecificExitCode, 0u);
    service.setStatus(SERVICE_RUNNING);
    EXPECT_EQ(service.status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
}

TEST(ServiceBase, AFailedInitializeStopsWithItsLastError) {
    RecordingService service;
    service.initializeResult = false;
    service.initializeError = ERROR_FILE_NOT_FOUND;
    EXPECT_FALSE(service.startUp());
    EXPECT_EQ(service.status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(service.status.dwWin32ExitCode, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(service.status.dwServiceSpecificExitCode, 1u);
    EXPECT_EQ(service.calls, std::vector<std::string>{"initialize"});
}

TEST(ServiceBase, EachControlReachesItsOperation) {
    RecordingService service;
    service.setStatus(SERVICE_RUNNING);
    ServiceBase::controlHandler(SERVICE_CONTROL_INTERROGATE);
    ServiceBase::controlHandler(200);
    ServiceBase::controlHandler(SERVICE_CONTROL_SHUTDOWN);
    EXPECT_EQ(service.status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    ServiceBase::controlHandler(SERVICE_CONTROL_STOP);
    EXPECT_EQ(service.status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(service.calls,
              (std::vector<std::string>{"interrogate", "user 200", "shutdown", "stop"}));
}

TEST(ServiceBase, TheBaseLoggerDiscardsAndStaysTheSame) {
    RecordingService service;
    Logger& first = service.log();
    first.writeLine("discarded");
    EXPECT_EQ(&first, &service.log());
}
