#include "service/host/win/RealtimePriority.h"
#include "service/host/win/SystemTimePrivilege.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Puts the process's priority class back whatever a test did to it.
class PriorityRestorer {
public:
    PriorityRestorer() : saved_(GetPriorityClass(GetCurrentProcess())) {}
    ~PriorityRestorer() { SetPriorityClass(GetCurrentProcess(), saved_); }
    PriorityRestorer(const PriorityRestorer&) = delete;
    PriorityRestorer& operator=(const PriorityRestorer&) = delete;

private:
    DWORD saved_;
};

class QueryToken {
public:
    QueryToken() { OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &handle_); }
    ~QueryToken() {
        if (handle_ != nullptr)
            CloseHandle(handle_);
    }
    QueryToken(const QueryToken&) = delete;
    QueryToken& operator=(const QueryToken&) = delete;
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_ = nullptr;
};

// Whether the process token has SeSystemtimePrivilege enabled; fails the test when the token
// cannot be read or does not hold the privilege at all.
bool systemTimePrivilegeEnabled() {
    LUID luid{};
    EXPECT_TRUE(LookupPrivilegeValueA(nullptr, "SeSystemtimePrivilege", &luid));
    QueryToken token;
    EXPECT_NE(token.get(), nullptr);
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenPrivileges, nullptr, 0, &size);
    std::vector<DWORD> buffer(size / sizeof(DWORD) + 1);
    EXPECT_TRUE(GetTokenInformation(token.get(), TokenPrivileges, buffer.data(),
                                    static_cast<DWORD>(buffer.size() * sizeof(DWORD)), &size));
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
        const LUID_AND_ATTRIBUTES& entry = privileges->Privileges[i];
        if (entry.Luid.LowPart == luid.LowPart && entry.Luid.HighPart == luid.HighPart)
            return (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0;
    }
    ADD_FAILURE() << "the token does not hold SeSystemtimePrivilege";
    return false;
}

} // namespace

TEST(RealtimePriority, RaisesToRealtimeAndRestoresThePreviousClass) {
    PriorityRestorer restorer;
    const HANDLE process = GetCurrentProcess();
    for (const DWORD before : {DWORD{BELOW_NORMAL_PRIORITY_CLASS}, DWORD{HIGH_PRIORITY_CLASS}}) {
        ASSERT_TRUE(SetPriorityClass(process, before));
        {
            RealtimePriority realtime;
            EXPECT_EQ(GetPriorityClass(process), static_cast<DWORD>(REALTIME_PRIORITY_CLASS));
        }
        EXPECT_EQ(GetPriorityClass(process), before);
    }
}

// Wine's user holds SeSystemtimePrivilege, disabled until asked for, and AdjustTokenPrivileges
// clears the last error on success. The Windows 95/98 path (OpenProcessToken failing with
// ERROR_CALL_NOT_IMPLEMENTED) cannot be produced here.
TEST(SystemTimePrivilege, EnablesThePrivilegeWhileItLives) {
    ASSERT_FALSE(systemTimePrivilegeEnabled());
    SetLastError(ERROR_ACCESS_DENIED); // a stale error must not count as a failure
    {
        SystemTimePrivilege privilege;
        EXPECT_TRUE(privilege.isEnabled());
        EXPECT_EQ(GetLastError(), 0u);
        EXPECT_TRUE(systemTimePrivilegeEnabled());
    }
    EXPECT_FALSE(systemTimePrivilegeEnabled());
}
