// Raises the process to the real-time priority class while the guard lives.
#pragma once

#include <windows.h>

class RealtimePriority {
public:
    // Throws LastErrorException ("SetPriorityClass") when the class cannot be set.
    RealtimePriority();
    ~RealtimePriority();
    RealtimePriority(const RealtimePriority&) = delete;
    RealtimePriority& operator=(const RealtimePriority&) = delete;

private:
    HANDLE process_; // pseudo handle, needs no closing
    DWORD savedClass_;
};
