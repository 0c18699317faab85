#include "service/engine/ClockDiscipline.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <utility>

namespace {

constexpr double ticksPerSecond = 1e7;
// The offset left over is taken away with this time constant: quickly, but so that a tick that
// comes late (the system was busy) does not carry the clock far past the mark.
constexpr double phaseSeconds = 16;
// What a rate span must be kept for: the oldest sample of a poll is younger.
constexpr double spanKeepSeconds = 600;
// A sample this far from the fit is a new server time (another server, or its clock stepped),
// not noise: the fit starts again from it. Beyond its own error, the fit's scatter and what the
// fit itself may miss by (much, through two queued samples), the frequency may have moved by
// this much since the fit's newest sample.
constexpr double jumpErrors = 5;
constexpr double jumpFrequencyDrift = 2e-6;
constexpr double jumpLeast = 0.002;
// The first samples tell too little of the path (its least delay, hence their errors) to call
// one of them a jump.
constexpr std::size_t jumpFewestSamples = 4;
// The error of a sample of the least delay: what the clocks' readings and the path's noise
// leave even then (the queueing a longer delay tells of adds to it in squares).
constexpr double sampleErrorFloor = 300e-6;

} // namespace

ClockDiscipline::ClockDiscipline(SystemClock& clock, std::uint32_t maxSlewMilliseconds,
                                 std::optional<double> frequencyPpm)
    : clock_(clock), maxSlew_(maxSlewMilliseconds / 1000.0),
      control_(maxSlewMilliseconds > 0 ? clock.rateControl() : RateControl{}), origin_(clock.now()),
      regression_(std::max(sampleErrorFloor, clock.readingStep() / ticksPerSecond)) {
    spans_.push_back({0, 0, 0});
    if (frequencyPpm && std::fabs(*frequencyPpm) <= plausibleFrequencyPpm) {
        frequency_ = *frequencyPpm * 1e-6;
    }
    // An increment too coarse for a single unit within the limit gives no rate to set.
    if (control_.kind != RateControl::Kind::none &&
        std::floor(static_cast<double>(control_.increment) * maximumRatePpm * 1e-6) >= 1) {
        clock_.releaseAdjustment();
    } else {
        control_.kind = RateControl::Kind::none;
    }
}

bool ClockDiscipline::disciplines() const {
    return maxSlew_ > 0 && control_.kind != RateControl::Kind::none && !rateFailed_ && !released_;
}

double ClockDiscipline::seconds(std::uint64_t ticks) const {
    return static_cast<double>(static_cast<std::int64_t>(ticks - origin_)) / ticksPerSecond;
}

double ClockDiscipline::correctionAt(double when) const {
    // The newest span that had begun: after a step back, older spans cover the same readings.
    for (auto span = spans_.rbegin(); span != spans_.rend(); ++span) {
        if (span->start <= when || std::next(span) == spans_.rend()) {
            return span->correction +
                   std::max(0.0, when - span->start) * span->rate / (1 + span->rate);
        }
    }
    return 0;
}

double ClockDiscipline::predictedOffset(double now) const {
    const double correction = correctionAt(now);
    const double freeRunning = now - correction;
    if (fit_ && fitGivesFrequency_) {
        return fit_->at(freeRunning) - correction;
    }
    return lastOffset_ - frequency_.value_or(0) * (freeRunning - lastOffsetAt_) - correction;
}

Correction ClockDiscipline::correct(NtpStamp offset, NtpStamp delay, std::uint64_t measuredAt) {
    const std::lock_guard<std::mutex> guard(lock_);
    const double measured = offset.signedSeconds();
    // In the stamp's own units, so that an offset of just the limit is slewed.
    const bool slew = corrected_ && disciplines() &&
                      std::fabs(measured) <= std::round(maxSlew_ * 4294967296.0) / 4294967296.0;
    if (disciplines()) {
        const double at = seconds(measuredAt);
        const double correction = correctionAt(at);
        const OffsetSample sample{at - correction, measured + correction, delay.signedSeconds()};
        if (fit_ && regression_.taken() >= jumpFewestSamples) {
            const double allowed = jumpErrors * (regression_.error(sample.delay) + fit_->scatter +
                                                 fit_->deviationAt(sample.time)) +
                                   jumpFrequencyDrift * std::fabs(sample.time - fit_->time) +
                                   jumpLeast;
            // Not within what is allowed, also where the fit has no number for it.
            const double miss = std::fabs(sample.offset - fit_->at(sample.time));
            if (!(miss <= allowed)) {
                const double since = sample.time - fit_->time;
                regression_.clear(std::isfinite(miss) && since > 0 ? miss / since : 0);
            }
        }
        regression_.add(sample);
        fit_ = regression_.fit();
        // Two samples give a frequency where nothing else does; an estimate from before needs
        // three to be replaced.
        fitGivesFrequency_ = fit_ && (fit_->used >= 3 || !frequency_ || fitGivesFrequency_) &&
                             std::fabs(fit_->slope) <= plausibleFrequencyPpm * 1e-6;
        if (fitGivesFrequency_) {
            frequency_ = -fit_->slope;
        }
        lastOffset_ = sample.offset;
        lastOffsetAt_ = sample.time;
    }
    corrected_ = true;
    if (slew) {
        steer(seconds(clock_.now()));
        // A rate the system refused takes nothing away: the offset is stepped after all.
        if (!rateFailed_) {
            return Correction::slew;
        }
    }
    const double stepped = static_cast<double>(clock_.step(offset)) / ticksPerSecond;
    if (disciplines()) {
        const double now = seconds(clock_.now());
        spans_.push_back({now, correctionAt(now - stepped) + stepped, spans_.back().rate});
        forgetOldSpans(now);
    }
    return Correction::step;
}

void ClockDiscipline::forgetOldSpans(double now) {
    while (spans_.size() > 2 && spans_[1].start < now - spanKeepSeconds) {
        spans_.pop_front();
    }
}

void ClockDiscipline::tick() {
    const std::lock_guard<std::mutex> guard(lock_);
    if (corrected_ && disciplines()) {
        steer(seconds(clock_.now()));
    }
}

void ClockDiscipline::steer(double now) {
    const double frequency = frequency_.value_or(0);
    const double offset = predictedOffset(now);
    // Where the offset has no number (the clock was set far away), the frequency alone.
    const double wanted =
        -frequency / (1 + frequency) + (std::isfinite(offset) ? offset / phaseSeconds : 0);
    const auto increment = static_cast<double>(control_.increment);
    const double limit = std::floor(increment * maximumRatePpm * 1e-6);
    // Whole units, alternating between neighbours so that their average is the rate wanted:
    // what one tick's rounding leaves over goes into the next.
    const double exact = std::clamp(increment * wanted, -limit, limit) + residue_;
    double units = std::round(exact);
    const auto least = static_cast<double>(control_.leastDeviation);
    if (units != 0 && std::fabs(units) < least) {
        units = std::fabs(exact) < least / 2 ? 0 : std::copysign(least, exact);
    }
    units = std::clamp(units, -limit, limit);
    residue_ = std::clamp(exact - units, -least, least);
    const auto adjustment = static_cast<std::uint64_t>(increment + units);
    if (adjustment == adjustment_) {
        return;
    }
    if (!clock_.setAdjustment(adjustment)) {
        rateFailed_ = true;
        rateFailure_ = clock_.systemError();
        clock_.releaseAdjustment();
        return;
    }
    adjustment_ = adjustment;
    const double rate = units / increment;
    largestRate_ = std::max(largestRate_, std::fabs(rate) * 1e6);
    spans_.push_back({now, correctionAt(now), rate});
    forgetOldSpans(now);
}

bool ClockDiscipline::release() {
    const std::lock_guard<std::mutex> guard(lock_);
    bool released = true;
    if (!released_ && adjustment_ != 0 && !rateFailed_) {
        released = clock_.releaseAdjustment();
    }
    released_ = true;
    return released;
}

bool ClockDiscipline::rateSet() const {
    const std::lock_guard<std::mutex> guard(lock_);
    return adjustment_ != 0 && !released_ && !rateFailed_;
}

std::optional<double> ClockDiscipline::frequencyPpm() const {
    const std::lock_guard<std::mutex> guard(lock_);
    // Only while it is made up for: the record's value is what the next start takes over.
    if (!frequency_ || maxSlew_ <= 0 || control_.kind == RateControl::Kind::none || rateFailed_) {
        return std::nullopt;
    }
    return *frequency_ * 1e6;
}

double ClockDiscipline::largestRatePpm() const {
    const std::lock_guard<std::mutex> guard(lock_);
    return largestRate_;
}

std::optional<std::uint32_t> ClockDiscipline::takeRateFailure() {
    const std::lock_guard<std::mutex> guard(lock_);
    return std::exchange(rateFailure_, std::nullopt);
}
