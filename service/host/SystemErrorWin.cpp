#include "service/host/ErrorText.h"

#include <windows.h>

std::size_t systemMessageText(std::uint32_t code, char* buffer, std::size_t size) {
    if (buffer == nullptr || size == 0)
        return 0;
    // Formatting a message must not disturb the error the caller may still read.
    const DWORD savedError = GetLastError();
    const DWORD capacity = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
    // IGNORE_INSERTS: some system texts hold %1-style inserts, and we pass no arguments.
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                       MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, capacity, nullptr);
    SetLastError(savedError);
    return length;
}

std::uint32_t lastSystemError() {
    return GetLastError();
}

void setLastSystemError(std::uint32_t code) {
    SetLastError(code);
}
