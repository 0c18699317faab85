// Enables the privilege to set the system time for the process while the guard lives.
#pragma once

#include <windows.h>

class SystemTimePrivilege {
public:
    // Throws LastErrorException ("OpenProcessToken", "AdjustTokenPrivileges"); on a system
    // without process tokens (Windows 95/98) it does nothing.
    SystemTimePrivilege();
    ~SystemTimePrivilege();
    SystemTimePrivilege(const SystemTimePrivilege&) = delete;
    SystemTimePrivilege& operator=(const SystemTimePrivilege&) = delete;

    // False on a system without process tokens.
    bool isEnabled() const { return enabled_; }

private:
    // Closes the token also when the constructor throws after opening it.
    class TokenHandle {
    public:
        TokenHandle() = default;
        ~TokenHandle() {
            if (handle != nullptr)
                CloseHandle(handle);
        }
        TokenHandle(const TokenHandle&) = delete;
        TokenHandle& operator=(const TokenHandle&) = delete;

        HANDLE handle = nullptr;
    };

    TokenHandle token_;
    TOKEN_PRIVILEGES privileges_; // room for exactly one privilege
    bool enabled_;
};
