// The system's clock through Windows' calls: the precise reading where the system has it, the
// step with SetSystemTime, and the rate with SetSystemTimeAdjustmentPrecise (Windows 10 and
// Server 2016 on, looked up at run time) or SetSystemTimeAdjustment. Windows 95/98 can only step.
#pragma once

#include "service/engine/SystemClock.h"

#include <windows.h>

class WindowsClock : public SystemClock {
public:
    std::uint64_t now() override;
    std::uint32_t readingStep() override;
    // Raises LastErrorException "SetSystemTime" (or the privilege's calls).
    std::int64_t step(NtpStamp offset) override;
    RateControl rateControl() override;
    bool setAdjustment(std::uint64_t adjustment) override;
    bool releaseAdjustment() override;
    std::uint32_t systemError() override { return error_; }

    // The call that last failed, for a line in the log.
    const char* failedCall() const { return failedCall_; }

private:
    bool adjust(std::uint64_t adjustment, BOOL disabled);

    bool precise_ = false;
    DWORD error_ = 0;
    const char* failedCall_ = "SetSystemTimeAdjustment";
};
