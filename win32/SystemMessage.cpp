#include "win32/SystemMessage.h"

std::string systemMessage(DWORD code, HMODULE module, DWORD language) {
    const DWORD savedError = GetLastError();
    // IGNORE_INSERTS: some texts hold %1-style inserts, and no arguments are passed.
    const DWORD source =
        module != nullptr ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM;
    char text[4000];
    const DWORD length = FormatMessageA(source | FORMAT_MESSAGE_IGNORE_INSERTS, module, code,
                                        language, text, sizeof text, nullptr);
    SetLastError(savedError);
    return length > 0 && length < sizeof text ? std::string(text, length) : std::string();
}
