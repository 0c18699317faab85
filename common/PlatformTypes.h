// Platform records that portable code needs. On Windows they are the real ones; elsewhere
// layout-identical stand-ins, so the same logic is tested natively.
#pragma once

#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#else
struct SYSTEMTIME {
    std::uint16_t wYear;
    std::uint16_t wMonth;
    std::uint16_t wDayOfWeek;
    std::uint16_t wDay;
    std::uint16_t wHour;
    std::uint16_t wMinute;
    std::uint16_t wSecond;
    std::uint16_t wMilliseconds;
};

struct FILETIME {
    std::uint32_t dwLowDateTime;
    std::uint32_t dwHighDateTime;
};
#endif

static_assert(sizeof(SYSTEMTIME) == 16, "SYSTEMTIME is eight 16-bit fields");
static_assert(sizeof(FILETIME) == 8, "FILETIME is two 32-bit halves");
