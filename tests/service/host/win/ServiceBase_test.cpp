// The state bookkeeping of the service object, without a service control manager.
#include "service/host/win/ServiceBase.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
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

// A loop that ends on its own at once; stop has nothing to wait for.
class EndingService : public ServiceBase {
public:
    EndingService() : ServiceBase(GetModuleHandleA(nullptr), "PendraTest", 5) {}
    void run() override {}
};

// Records each report with the thread that made it. The control thread's reports are delayed
// first, as if that thread were pre-empted just before its report.
class RecordingReporter : public StatusReporter {
public:
    struct Report {
        DWORD state;
        DWORD thread;
    };
    void report(SERVICE_STATUS_HANDLE, const SERVICE_STATUS& status) override {
        if (GetCurrentThreadId() == controlThread) {
            Sleep(1);
        }
        std::lock_guard<std::mutex> guard(lock);
        reports.push_back({status.dwCurrentState, GetCurrentThreadId()});
    }
    std::atomic<DWORD> controlThread{0};
    std::mutex lock;
    std::vector<Report> reports;
};

} // namespace

TEST(ServiceBase, NothingIsReportedAfterTheStoppedStateWhileControlsRace) {
    // The loop ends on its own (a single run, or a failure) just as controls arrive.
    int raced = 0;
    for (int round = 0; round < 100; ++round) {
        EndingService service;
        RecordingReporter reporter;
        service.setStatusReporter(&reporter);
        // As serviceMain leaves it before the control handler can be called.
        service.status.dwCurrentState = SERVICE_START_PENDING;
        // Manual reset: one signal starts both threads.
        ScopedHandle<KernelHandleTraits> go(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        std::thread serviceThread([&] {
            WaitForSingleObject(go.get(), INFINITE);
            service.runAsService();
        });
        std::thread controlThread([&] {
            reporter.controlThread = GetCurrentThreadId();
            WaitForSingleObject(go.get(), INFINITE);
            ServiceBase::controlHandler(round % 2 == 0 ? SERVICE_CONTROL_STOP
                                                       : SERVICE_CONTROL_INTERROGATE);
            ServiceBase::controlHandler(SERVICE_CONTROL_INTERROGATE);
        });
        SetEvent(go.get());
        serviceThread.join();
        controlThread.join();

        const auto& reports = reporter.reports;
        ASSERT_FALSE(reports.empty());
        EXPECT_EQ(reports.back().state, static_cast<DWORD>(SERVICE_STOPPED)) << "round " << round;
        int stopped = 0;
        bool controlAfterServiceStart = false;
        for (const auto& report : reports) {
            stopped += report.state == SERVICE_STOPPED;
            controlAfterServiceStart |= report.thread == reporter.controlThread;
        }
        EXPECT_EQ(stopped, 1) << "round " << round;
        raced += controlAfterServiceStart;
    }
    // The controls really met the running service, not only its end.
    EXPECT_GT(raced, 0);
}

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
