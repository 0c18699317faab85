// A Windows clock as the documentation of its calls describes it, driven by a simulated
// oscillator: at each clock interrupt (every 15.625 ms of the oscillator) it adds the adjustment,
// in whole 100-ns units for SetSystemTimeAdjustment or in units 1000 times finer for
// SetSystemTimeAdjustmentPrecise (the documentation gives none); a new adjustment counts from
// the next interrupt; a reading is interpolated between interrupts and cut to 100 ns;
// SetSystemTime sets whole milliseconds. For the clock discipline's tests and its simulator.
#pragma once

#include "service/engine/SystemClock.h"

#include <cmath>
#include <cstdint>
#include <vector>

constexpr std::uint64_t classicIncrement = 156250; // 15.625 ms in 100-ns units
constexpr std::uint64_t preciseScale = 1000;

inline NtpStamp stampOf(double seconds) {
    const auto units = static_cast<std::int64_t>(std::llround(seconds * 4294967296.0));
    const auto bits = static_cast<std::uint64_t>(units);
    return NtpStamp(static_cast<std::uint32_t>(bits >> 32), static_cast<std::uint32_t>(bits));
}

class SimulatedClock : public SystemClock {
public:
    // 2026-12-08 in FILETIME ticks: the clock's readings start there.
    static constexpr std::uint64_t epochTicks = 134094528000000000ull;

    explicit SimulatedClock(bool precise = false,
                            RateControl::Kind kind = RateControl::Kind::classic,
                            std::uint64_t leastDeviation = 1)
        : precise_(precise), kind_(kind), least_(leastDeviation) {
        adjustment_ = pending_ = increment();
    }
    double trueTime() const { return true_; }
    double frequency = 0; // the oscillator's error, relative

    // Runs the oscillator and its interrupts until true time t.
    void advanceTo(double t) {
        const double period = classicIncrement * 1e-7; // oscillator seconds per interrupt
        while (true_ < t) {
            const double toInterrupt = (period - phase_) / (1 + frequency);
            if (true_ + toInterrupt > t) {
                phase_ += (t - true_) * (1 + frequency);
                true_ = t;
                break;
            }
            true_ += toInterrupt;
            phase_ = 0;
            clock_ += rate() * period;
            adjustment_ = pending_;
        }
    }
    // The clock's value in seconds, exactly.
    double value() const { return clock_ + phase_ * rate(); }

    std::uint64_t now() override {
        // Also before the epoch, where another program set it back.
        const auto ticks = static_cast<std::int64_t>(std::floor(value() * 1e7));
        return epochTicks + static_cast<std::uint64_t>(ticks);
    }
    std::uint32_t readingStep() override { return 1; }
    std::int64_t step(NtpStamp offset) override {
        const auto units =
            static_cast<std::int64_t>(std::uint64_t{offset.seconds()} << 32 | offset.fraction());
        const double wanted = value() + static_cast<double>(units) / 4294967296.0;
        const double set = std::round(wanted * 1000) / 1000; // SetSystemTime's milliseconds
        const double before = value();
        clock_ = set - phase_ * rate();
        ++steps;
        return static_cast<std::int64_t>(std::llround((set - before) * 1e7));
    }
    RateControl rateControl() override {
        if (kind_ == RateControl::Kind::none) {
            return {};
        }
        return {precise_ ? RateControl::Kind::precise : RateControl::Kind::classic, increment(),
                least_};
    }
    bool setAdjustment(std::uint64_t adjustment) override {
        adjustments.push_back(adjustment);
        if (refuse) {
            return false;
        }
        pending_ = adjustment;
        return true;
    }
    bool releaseAdjustment() override {
        ++releases;
        pending_ = increment();
        return true;
    }
    std::uint32_t systemError() override { return refuse ? 5 : 0; } // ERROR_ACCESS_DENIED

    int steps = 0;
    int releases = 0;
    bool refuse = false; // setAdjustment fails, as without the privilege
    std::vector<std::uint64_t> adjustments;

    std::uint64_t increment() const {
        return precise_ ? classicIncrement * preciseScale : classicIncrement;
    }

private:
    double rate() const {
        return static_cast<double>(adjustment_) / static_cast<double>(increment());
    }
    bool precise_;
    RateControl::Kind kind_;
    std::uint64_t least_;
    double true_ = 0;
    double phase_ = 0;
    double clock_ = 0;
    std::uint64_t adjustment_;
    std::uint64_t pending_;
};
