#include "service/engine/win/WindowsClock.h"

#include "service/errors/BaseException.h"
#include "service/host/win/SystemTimePrivilege.h"

#include <algorithm>

namespace {

using PreciseClockFn = VOID(WINAPI*)(LPFILETIME);
using GetPreciseAdjustmentFn = BOOL(WINAPI*)(PDWORD64, PDWORD64, PBOOL);
using SetPreciseAdjustmentFn = BOOL(WINAPI*)(DWORD64, BOOL);

template <typename Function> Function kernelFunction(const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), name)));
}

// Windows 8 and Wine have a clock of 100-ns steps; looked up at run time, so that Windows
// 95/98 and NT 4 start and keep their millisecond clock.
PreciseClockFn preciseClock() {
    static const auto function = kernelFunction<PreciseClockFn>("GetSystemTimePreciseAsFileTime");
    return function;
}

std::uint64_t fileTimeTicks(const FILETIME& time) {
    return std::uint64_t{time.dwHighDateTime} << 32 | time.dwLowDateTime;
}

// Vista and 7 lose an adjustment that differs from the increment by less than 16 units.
std::uint64_t leastDeviation() {
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (GetVersionExA(&version) && version.dwMajorVersion == 6 && version.dwMinorVersion <= 1) {
        return 16;
    }
    return 1;
}

} // namespace

std::uint64_t WindowsClock::now() {
    FILETIME now{};
    if (const PreciseClockFn precise = preciseClock()) {
        precise(&now);
    } else {
        SYSTEMTIME utc;
        GetSystemTime(&utc);
        SystemTimeToFileTime(&utc, &now);
    }
    return fileTimeTicks(now);
}

std::uint32_t WindowsClock::readingStep() {
    if (preciseClock() != nullptr) {
        return 1;
    }
    DWORD adjustment = 0;
    DWORD increment = 0;
    BOOL disabled = FALSE;
    // Windows 95/98 do not tell: their clock moves with the timer's 55-ms tick.
    if (!GetSystemTimeAdjustment(&adjustment, &increment, &disabled) || increment == 0) {
        return 550000;
    }
    // GetSystemTime reads whole milliseconds, whatever the tick.
    return std::max<DWORD>(increment, 10000);
}

std::int64_t WindowsClock::step(NtpStamp offset) {
    SystemTimePrivilege privilege;
    const std::uint64_t reading = now();
    // The reading plus the offset, rounded once, to the millisecond that the call takes.
    const SYSTEMTIME corrected = addOffset(reading, offset);
    if (!SetSystemTime(&corrected)) {
        throw LastErrorException("SetSystemTime", "%a: %r");
    }
    FILETIME set{};
    SystemTimeToFileTime(&corrected, &set);
    return static_cast<std::int64_t>(fileTimeTicks(set) - reading);
}

RateControl WindowsClock::rateControl() {
    const auto getPrecise =
        kernelFunction<GetPreciseAdjustmentFn>("GetSystemTimeAdjustmentPrecise");
    DWORD64 preciseAdjustment = 0;
    DWORD64 preciseIncrement = 0;
    BOOL disabled = FALSE;
    if (getPrecise != nullptr &&
        kernelFunction<SetPreciseAdjustmentFn>("SetSystemTimeAdjustmentPrecise") != nullptr &&
        getPrecise(&preciseAdjustment, &preciseIncrement, &disabled) && preciseIncrement > 0) {
        precise_ = true;
        return {RateControl::Kind::precise, preciseIncrement, 1};
    }
    DWORD adjustment = 0;
    DWORD increment = 0;
    // Windows 95/98 answers ERROR_CALL_NOT_IMPLEMENTED.
    if (!GetSystemTimeAdjustment(&adjustment, &increment, &disabled) || increment == 0) {
        return {};
    }
    precise_ = false;
    return {RateControl::Kind::classic, increment, leastDeviation()};
}

bool WindowsClock::adjust(std::uint64_t adjustment, BOOL disabled) {
    try {
        SystemTimePrivilege privilege;
        BOOL done = FALSE;
        if (precise_) {
            failedCall_ = "SetSystemTimeAdjustmentPrecise";
            done = kernelFunction<SetPreciseAdjustmentFn>("SetSystemTimeAdjustmentPrecise")(
                adjustment, disabled);
        } else {
            failedCall_ = "SetSystemTimeAdjustment";
            done = SetSystemTimeAdjustment(static_cast<DWORD>(adjustment), disabled);
        }
        error_ = done ? 0 : GetLastError();
        return done != FALSE;
    } catch (const LastErrorException& e) {
        // The privilege could not be had: the rate cannot be set either.
        failedCall_ = e.functionName();
        error_ = e.errorCode();
        return false;
    }
}

bool WindowsClock::setAdjustment(std::uint64_t adjustment) {
    return adjust(adjustment, FALSE);
}

bool WindowsClock::releaseAdjustment() {
    return adjust(0, TRUE);
}
