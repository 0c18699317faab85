#include "service/engine/OffsetRegression.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// How quickly the filters' records forget: about the last this many polls count.
constexpr double recordPolls = 16;
// Before this many predictions, every filter counts alike.
constexpr std::size_t fewestPredictions = 4;
// A bend settles: a warming oscillator reaches its temperature within hours, and a bend carried on
// for longer overshoots where the temperature turns.
constexpr double settleSeconds = 4 * 3600;
// How fast each filter lets the bend change, in ppm an hour per square root of an hour: from a
// quiet room to a computer warming under load.
constexpr std::array<double, 4> bendWanderPpm = {0.1, 0.2, 0.4, 0.8};
// What is known of an oscillator before its first samples: a frequency error within 500 ppm, a
// bend within 4 ppm an hour.
constexpr double startSlope = 500e-6;
constexpr double startBend = 4e-6 / 3600;
// After a jump the frequency learnt still holds, but it may have moved this much unseen.
constexpr double restartSlope = 2e-6;
// A silence is bridged in steps of a settling time at most, and in this many at most: the doubt
// then grows as the bend's decay allows, not with the fifth power of the silence.
constexpr int mostPredictionSteps = 256;
// A frequency that moved: this many misses in a row, of one sign, each beyond this many times
// what the sample's error and the recent misses make likely; counted once the delays since
// the start or the jump tell the samples' errors.
constexpr int runLength = 2;
constexpr double runErrors = 3;
// No inflation of the slope's doubt beyond what a working oscillator can be off.
constexpr double mostSlopeMove = 500e-6;
// The scatter: how far the latest this many samples missed their predictions.
constexpr std::size_t scatterSamples = 8;

// The mean of the bend decays over `settle`: how slope and offset follow it over dt.
double bendOnSlope(double dt, double settle) {
    return -settle * std::expm1(-dt / settle);
}
double bendOnOffset(double dt, double settle) {
    return settle * (dt - bendOnSlope(dt, settle));
}

} // namespace

double OffsetFit::at(double when) const {
    const double dt = when - time;
    return offset + slope * dt + (dt > 0 ? bend * bendOnOffset(dt, settle) : 0);
}

double OffsetFit::deviationAt(double when) const {
    const double dt = when - time;
    return std::sqrt(std::max(0.0, variance + 2 * covariance * dt + slopeVariance * dt * dt));
}

std::array<OffsetRegression::Filter, OffsetRegression::filterCount>
OffsetRegression::makeFilters() {
    std::array<Filter, filterCount> filters{};
    static_assert(bendWanderPpm.size() == filterCount);
    for (std::size_t k = 0; k < filterCount; ++k) {
        const double perSecond = bendWanderPpm[k] * 1e-6 / 3600; // the bend's unit, s^-2
        filters[k].wander = perSecond * perSecond / 3600;
        filters[k].covariance[1][1] = startSlope * startSlope;
        filters[k].covariance[2][2] = startBend * startBend;
    }
    return filters;
}

void OffsetRegression::Filter::predict(double when) {
    const double dt = when - time;
    if (!(dt > 0)) {
        return;
    }
    const int steps =
        static_cast<int>(std::min<double>(mostPredictionSteps, std::ceil(dt / settleSeconds)));
    for (int step = 0; step < steps; ++step) {
        predictWithin(dt / steps);
    }
    time = when;
}

void OffsetRegression::Filter::predictWithin(double dt) {
    const double f[3][3] = {{1, dt, bendOnOffset(dt, settleSeconds)},
                            {0, 1, bendOnSlope(dt, settleSeconds)},
                            {0, 0, std::exp(-dt / settleSeconds)}};
    std::array<double, 3> moved{};
    std::array<std::array<double, 3>, 3> product{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            moved[i] += f[i][j] * state[j];
            for (int k = 0; k < 3; ++k) {
                product[i][j] += f[i][k] * covariance[k][j];
            }
        }
    }
    // The bend's change as white noise over dt (its decay left out: more doubt, not less).
    const double q = wander;
    const double d2 = dt * dt, d3 = d2 * dt, d4 = d3 * dt, d5 = d4 * dt;
    const double noise[3][3] = {{q * d5 / 20, q * d4 / 8, q * d3 / 6},
                                {q * d4 / 8, q * d3 / 3, q * d2 / 2},
                                {q * d3 / 6, q * d2 / 2, q * dt}};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            double sum = noise[i][j];
            for (int k = 0; k < 3; ++k) {
                sum += product[i][k] * f[j][k];
            }
            covariance[i][j] = sum;
        }
    }
    state = moved;
}

double OffsetRegression::Filter::expected(double when) const {
    Filter ahead = *this;
    ahead.predict(when);
    return ahead.state[0];
}

void OffsetRegression::Filter::take(const OffsetSample& sample, double error) {
    if (!started) {
        if (learnt) {
            predict(sample.time); // the bend settles over the silence, the doubt grows
        }
        started = true;
        time = sample.time;
        state[0] = sample.offset;
        for (int i = 0; i < 3; ++i) {
            covariance[0][i] = covariance[i][0] = 0;
        }
        covariance[0][0] = error * error;
        return;
    }
    learnt = true;
    predict(sample.time);
    const double innovation = sample.offset - state[0];
    const double total = covariance[0][0] + error * error;
    std::array<double, 3> gain{};
    for (int i = 0; i < 3; ++i) {
        gain[i] = covariance[i][0] / total;
        state[i] += gain[i] * innovation;
    }
    const std::array<double, 3> first = covariance[0];
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            covariance[i][j] -= gain[i] * first[j];
        }
    }
    // Rounding must not leave it lopsided.
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < i; ++j) {
            covariance[i][j] = covariance[j][i] = (covariance[i][j] + covariance[j][i]) / 2;
        }
    }
}

double OffsetRegression::least() const {
    double least = std::numeric_limits<double>::infinity();
    for (const double delay : delays_) {
        least = std::min(least, delay);
    }
    return least;
}

double OffsetRegression::error(double delay) const {
    // Independent errors: they add in squares.
    const double queued = (delay - std::min(delay, least())) / 2;
    return std::sqrt(floor_ * floor_ + queued * queued);
}

void OffsetRegression::add(const OffsetSample& sample) {
    if (!samples_.empty() && sample.time < samples_.back().sample.time) {
        clear();
    }
    const double leastBefore = least();
    delays_.push_back(sample.delay);
    if (delays_.size() > capacity) {
        delays_.pop_front();
    }
    const double own = error(sample.delay);
    double missed = std::numeric_limits<double>::quiet_NaN();
    // What the slope's doubt grows by before this sample is taken: kept with it, so that a
    // replay grows it again.
    double moved = 0;
    bool replay = false;
    const double since = samples_.empty() ? 0 : sample.time - samples_.back().sample.time;
    if (samples_.size() == 1 && jumpRate_ > 0 && since > 0) {
        // The second sample after a jump: a frequency that moved misses again, by about as
        // much a second; a server whose time alone stepped does not.
        const double again = sample.offset - predicted(sample.time);
        if (std::fabs(again) > runErrors * own && std::fabs(again) / since > jumpRate_ / 2) {
            moved = again / since;
        }
    }
    if (!samples_.empty()) {
        jumpRate_ = 0; // the sample after the jump's own has told
    }
    if (samples_.size() >= 2) {
        missed = sample.offset - predicted(sample.time);
        // Misses of one sign, each well beyond what is likely, poll after poll: the frequency
        // itself has moved (a virtual machine moved to another host), faster than any bend
        // allows. The filters may learn the new slope at once.
        const int sign = missed > 0 ? 1 : -1;
        // What is likely is the scatter as it stood before the run: the move's own misses,
        // growing poll after poll, must not raise the bar they are measured against.
        const double before = run_ != 0 ? runScatter_ : scatter();
        const double likely = std::hypot(own, before);
        if (delays_.size() > scatterSamples && std::fabs(missed) > runErrors * likely) {
            if (run_ * sign <= 0) {
                run_ = 0;
                runFrom_ = samples_.back().sample.time;
                runScatter_ = before;
            }
            run_ += sign;
        } else if (run_ * sign <= 0 ||
                   std::fabs(missed) <= runErrors * std::hypot(floor_, runScatter_)) {
            // A queued sample that misses the same way by what would have counted without its
            // queue neither counts nor ends the run: its own error hid the move.
            run_ = 0;
        }
        // The misses add up over the run: the newest tells the move over all of it. It began
        // before the run's first miss: from there on the samples are taken again as if the
        // doubt had been there.
        if (std::abs(run_) >= runLength && sample.time > runFrom_) {
            const double rate =
                std::clamp(missed / (sample.time - runFrom_), -mostSlopeMove, mostSlopeMove);
            for (Kept& kept : samples_) {
                if (kept.sample.time > runFrom_) {
                    kept.moved = rate;
                    replay = true;
                    break;
                }
            }
            run_ = 0;
        }
    }
    moved = std::clamp(moved, -mostSlopeMove, mostSlopeMove);
    if (samples_.size() >= 2) {
        const double alpha =
            predicted_ < recordPolls ? 1.0 / double(predicted_ + 1) : 1 / recordPolls;
        for (std::size_t k = 0; k < filterCount; ++k) {
            const double miss = (sample.offset - filters_[k].expected(sample.time)) / own;
            misses_[k] += alpha * (miss * miss - misses_[k]);
        }
        ++predicted_;
    }
    // The samples so far were taken as nearly unqueued, and this one shows that they were
    // queued: they are taken again with the errors their delays now tell.
    if (replay || (!samples_.empty() && (leastBefore - sample.delay) / 2 > floor_)) {
        filters_ = restart_;
        for (const Kept& kept : samples_) {
            for (Filter& filter : filters_) {
                filter.covariance[1][1] += kept.moved * kept.moved;
                filter.take(kept.sample, error(kept.sample.delay));
            }
        }
    }
    // After a replay too, which starts from the filters as they were.
    for (Filter& filter : filters_) {
        filter.covariance[1][1] += moved * moved;
        filter.take(sample, own);
    }
    ++taken_;
    samples_.push_back({sample, missed, moved});
    if (samples_.size() > capacity) {
        samples_.pop_front();
    }
}

void OffsetRegression::clear(double jumpRate) {
    samples_.clear();
    delays_.clear(); // another server's path, perhaps: a queued first sample is taken again
    run_ = 0;
    // Whether the frequency moved, or only the server's time, the next sample tells.
    jumpRate_ = jumpRate;
    for (Filter& filter : filters_) {
        if (filter.started && filter.learnt) {
            filter.covariance[1][1] += restartSlope * restartSlope;
            filter.covariance[2][2] += startBend * startBend;
        }
        filter.started = false;
    }
    restart_ = filters_;
}

std::array<double, OffsetRegression::filterCount> OffsetRegression::weights() const {
    // Each filter counts by the square of how much better its record is than the best's: an
    // average moves less from poll to poll than a choice would.
    const double best = *std::min_element(misses_.begin(), misses_.end());
    std::array<double, filterCount> weights{};
    for (std::size_t k = 0; k < filterCount; ++k) {
        const double ratio =
            predicted_ >= fewestPredictions && misses_[k] > 0 ? best / misses_[k] : 1;
        weights[k] = ratio * ratio;
    }
    return weights;
}

double OffsetRegression::predicted(double when) const {
    const std::array<double, filterCount> weights = this->weights();
    double sum = 0, total = 0;
    for (std::size_t k = 0; k < filterCount; ++k) {
        sum += weights[k] * filters_[k].expected(when);
        total += weights[k];
    }
    return sum / total;
}

std::optional<OffsetFit> OffsetRegression::fit() const {
    if (samples_.size() < 2) {
        return std::nullopt;
    }
    OffsetFit fit;
    fit.time = samples_.back().sample.time;
    fit.settle = settleSeconds;
    fit.used = samples_.size();
    const std::array<double, filterCount> weights = this->weights();
    double total = 0;
    for (std::size_t k = 0; k < filterCount; ++k) {
        const double weight = weights[k];
        const Filter& filter = filters_[k];
        total += weight;
        fit.offset += weight * filter.state[0];
        fit.slope += weight * filter.state[1];
        fit.bend += weight * filter.state[2];
        fit.variance += weight * filter.covariance[0][0];
        fit.covariance += weight * filter.covariance[0][1];
        fit.slopeVariance += weight * filter.covariance[1][1];
    }
    fit.offset /= total;
    fit.slope /= total;
    fit.bend /= total;
    fit.variance /= total;
    fit.covariance /= total;
    fit.slopeVariance /= total;

    fit.scatter = scatter();
    return fit;
}

double OffsetRegression::scatter(std::size_t skipped) const {
    // By how far they missed their predictions, not by a look back over a silence.
    double squares = 0;
    double inverses = 0;
    const std::size_t end = samples_.size() - std::min(samples_.size(), skipped);
    for (std::size_t i = end - std::min(end, scatterSamples); i < end; ++i) {
        if (!std::isfinite(samples_[i].missed)) {
            continue;
        }
        const double error = this->error(samples_[i].sample.delay);
        squares += samples_[i].missed * samples_[i].missed / (error * error);
        inverses += 1 / (error * error);
    }
    return inverses > 0 ? std::sqrt(squares / inverses) : 0;
}
