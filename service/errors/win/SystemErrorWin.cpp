#include "service/errors/ErrorText.h"

#include "win32/SystemMessage.h"

#include <windows.h>

#include <cstring>

std::size_t systemMessageText(std::uint32_t code, char* buffer, std::size_t size) {
    if (buffer == nullptr || size == 0)
        return 0;
    // A text that does not fit with its terminator is none, as FormatMessageA would have it.
    const std::string text = systemMessage(code);
    if (text.empty() || text.size() >= size)
        return 0;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return text.size();
}

std::uint32_t lastSystemError() {
    return GetLastError();
}

void setLastSystemError(std::uint32_t code) {
    SetLastError(code);
}
