// Texts for system and Winsock error codes.
#pragma once

#include <cstddef>
#include <cstdint>

struct WinsockErrorText {
    std::uint32_t code;
    const char* text; // none marks the end of the table
};

// 49 entries and the end mark.
extern const WinsockErrorText winsockErrorTexts[50];

// Asks the system for the text of a code into buffer (size characters with the terminating
// zero); returns the number of characters, 0 when the system has none.
using SystemMessageLookup = std::size_t (*)(std::uint32_t code, char* buffer, std::size_t size);

// The platform's lookup: FormatMessageA on Windows, none elsewhere.
std::size_t systemMessageText(std::uint32_t code, char* buffer, std::size_t size);

// Replaces the lookup that formatErrorText uses (tests only); returns the previous one.
SystemMessageLookup setSystemMessageLookup(SystemMessageLookup lookup);

// Writes at most maxCount characters of the code's text to out, without a terminating zero,
// and returns how many were written: the system's text, else the table's, else
// "Unknown error code 0x%08lx".
std::size_t formatErrorText(std::uint32_t code, char* out, std::size_t maxCount);

// The calling thread's last system error code (GetLastError on Windows).
std::uint32_t lastSystemError();

// Sets the value lastSystemError gives on this thread (SetLastError on Windows), so portable
// tests can stage an error code.
void setLastSystemError(std::uint32_t code);
