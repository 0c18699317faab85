// What the system's clock offers the service: a reading, a step, and (where the system has it)
// a rate. Windows implements it with its clock calls; the clock-discipline simulator with a
// model of them. Portable.
#pragma once

#include "service/engine/NtpStamp.h"

#include <cstdint>

// How the rate of the clock can be set.
struct RateControl {
    enum class Kind {
        none,    // Windows 95/98: steps only
        classic, // SetSystemTimeAdjustment: whole 100-ns units per clock interrupt
        precise, // SetSystemTimeAdjustmentPrecise (Windows 10 and Server 2016 on)
    };
    Kind kind = Kind::none;
    // What the clock adds per interrupt at its nominal rate, in the call's units.
    std::uint64_t increment = 0;
    // Vista and 7 lose an adjustment that differs from the increment by less than this.
    std::uint64_t leastDeviation = 1;
};

class SystemClock {
public:
    virtual ~SystemClock() = default;

    // 100-ns units since 1601-01-01 UTC, at the finest resolution that the system reads.
    virtual std::uint64_t now() = 0;
    // The step of that reading in 100-ns units: how far an honest difference may fall short.
    virtual std::uint32_t readingStep() = 0;
    // Sets the clock to its reading plus offset, as the system takes it (whole milliseconds);
    // returns the step made, in 100-ns units. Raises when the system refuses.
    virtual std::int64_t step(NtpStamp offset) = 0;

    virtual RateControl rateControl() = 0;
    // The clock adds adjustment units per interrupt instead of the increment; false when the
    // system refuses (the reason in systemError).
    virtual bool setAdjustment(std::uint64_t adjustment) = 0;
    // The system's own rate again. The setting outlives the process: every way out calls this.
    virtual bool releaseAdjustment() = 0;
    virtual std::uint32_t systemError() = 0;
};
