// Keeps the clock right between polls: after the first correction, an offset within the slew
// limit is slewed away (the clock runs slightly faster or slower, nothing jumps), and the rate
// also makes up for the oscillator's frequency error, which a fit of the recent offsets
// estimates. A larger offset is stepped. Without a limit, or on a system that cannot set the
// clock's rate, every correction is a step, as the service always did. Portable: the clock is a
// SystemClock; the service ticks it from a thread of its own, the simulator from its loop.
// Every public operation may come from any thread.
#pragma once

#include "service/engine/NtpStamp.h"
#include "service/engine/OffsetRegression.h"
#include "service/engine/SystemClock.h"

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

enum class Correction { step, slew };

class ClockDiscipline {
public:
    // The rate never differs from nominal by more than this.
    static constexpr double maximumRatePpm = 500;
    // A frequency estimate beyond this is no estimate of a working oscillator.
    static constexpr double plausibleFrequencyPpm = 500;
    // How often the rate is set anew.
    static constexpr std::uint32_t tickMilliseconds = 1000;

    // maxSlewMilliseconds 0: every correction is a step. frequencyPpm: the estimate of an earlier
    // run, to start from. Where the service disciplines, a rate left behind by a run that
    // crashed goes back to the system first.
    ClockDiscipline(SystemClock& clock, std::uint32_t maxSlewMilliseconds,
                    std::optional<double> frequencyPpm = std::nullopt);

    // Whether offsets within the limit will be slewed: configured, and the system can.
    bool disciplines() const;
    // Corrects the clock by a poll's chosen sample, measured when the clock read measuredAt.
    Correction correct(NtpStamp offset, NtpStamp delay, std::uint64_t measuredAt);
    // Sets the rate until the next tick.
    void tick();
    // Gives the rate back to the system; the clock is only stepped after it. False when the
    // system refused to take it back.
    bool release();
    // Whether a rate of this discipline is in force: the clock's own is to be given back.
    bool rateSet() const;

    // The oscillator's frequency error in ppm (positive: it gains), once there is an estimate.
    std::optional<double> frequencyPpm() const;
    // The largest difference from the nominal rate given so far, in ppm.
    double largestRatePpm() const;
    // The error of a rate setting that the system refused, once: the discipline has stopped,
    // and every correction is a step from then on.
    std::optional<std::uint32_t> takeRateFailure();

private:
    struct RateSpan {
        double start;      // clock seconds when the rate began
        double correction; // the correction made up to then, seconds
        double rate;       // relative: the clock ran (1 + rate) times its own pace
    };
    double seconds(std::uint64_t ticks) const;
    double correctionAt(double when) const;
    // Gives the clock the rate that makes up for the frequency and takes the offset away.
    void steer(double now);
    double predictedOffset(double now) const;
    void forgetOldSpans(double now);

    SystemClock& clock_;
    const double maxSlew_;
    RateControl control_;
    mutable std::mutex lock_;
    std::uint64_t origin_; // clock ticks of second 0
    bool corrected_ = false;
    bool released_ = false;
    bool rateFailed_ = false;
    std::optional<std::uint32_t> rateFailure_; // not yet taken
    OffsetRegression regression_;
    std::optional<OffsetFit> fit_;
    std::optional<double> frequency_; // relative, positive when the oscillator gains
    bool fitGivesFrequency_ = false;
    double lastOffset_ = 0;   // the newest sample's offset on the free-running clock
    double lastOffsetAt_ = 0; // and its time there
    // The rates given, newest last: what they corrected, for samples taken a little earlier.
    std::deque<RateSpan> spans_;
    std::uint64_t adjustment_ = 0; // what the clock was last given; 0 for none
    double residue_ = 0;           // units that the rounding of the last ticks left over
    double largestRate_ = 0;
};
