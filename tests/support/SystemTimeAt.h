// A SYSTEMTIME from its fields, for tests; the day of the week stays 0.
#pragma once

#include "common/PlatformTypes.h"

#include <cstdint>

inline SYSTEMTIME systemTimeAt(int year, int month, int day, int hour = 0, int minute = 0,
                               int second = 0, int milliseconds = 0) {
    SYSTEMTIME t{};
    t.wYear = static_cast<std::uint16_t>(year);
    t.wMonth = static_cast<std::uint16_t>(month);
    t.wDay = static_cast<std::uint16_t>(day);
    t.wHour = static_cast<std::uint16_t>(hour);
    t.wMinute = static_cast<std::uint16_t>(minute);
    t.wSecond = static_cast<std::uint16_t>(second);
    t.wMilliseconds = static_cast<std::uint16_t>(milliseconds);
    return t;
}
