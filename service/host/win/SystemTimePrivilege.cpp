#include "service/host/win/SystemTimePrivilege.h"

#include "service/errors/BaseException.h"

SystemTimePrivilege::SystemTimePrivilege() : privileges_(), enabled_(true) {
    HANDLE opened = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &opened)) {
        if (GetLastError() == ERROR_CALL_NOT_IMPLEMENTED) {
            // No security on Windows 95/98: nothing to enable, nothing to undo.
            SetLastError(0);
            enabled_ = false;
            return;
        }
        throw LastErrorException("OpenProcessToken", "%a: %r");
    }
    token_.handle = opened;

    // A failed lookup leaves a zero LUID, which AdjustTokenPrivileges then rejects.
    LookupPrivilegeValueA(nullptr, "SeSystemtimePrivilege", &privileges_.Privileges[0].Luid);
    privileges_.PrivilegeCount = 1;
    privileges_.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;

    // Success may still report ERROR_NOT_ALL_ASSIGNED, so the last error decides; clear it first
    // so that a stale value from before cannot count.
    SetLastError(0);
    const BOOL adjusted =
        AdjustTokenPrivileges(token_.handle, FALSE, &privileges_, 0, nullptr, nullptr);
    if (!adjusted || GetLastError() != 0)
        throw LastErrorException("AdjustTokenPrivileges", "%a: %r");
}

SystemTimePrivilege::~SystemTimePrivilege() {
    if (!enabled_)
        return;
    privileges_.Privileges[0].Attributes &= ~static_cast<DWORD>(SE_PRIVILEGE_ENABLED);
    AdjustTokenPrivileges(token_.handle, FALSE, &privileges_, 0, nullptr, nullptr);
}
