// What the recent offsets of the free-running clock tell of its oscillator: the offset now, the
// frequency error (the slope) and how the frequency bends as the oscillator warms and cools. Each
// estimate is a Kalman filter over the three, that is a weighted least-squares fit of every sample
// so far in which an older sample counts the less, the further the frequency may have bent since.
// Each sample is weighted by how far it can be trusted: its round-trip delay beyond the least
// tells how far queueing may have moved it.
//
// How far the frequency may bend is learnt: filters that allow different bends each predict every
// new sample before taking it, and their estimates are averaged, each counting the more the less
// its predictions have missed of late. Little bend averages a noisy path over many polls; much
// follows a warming oscillator; which matters more depends on the oscillator, the path and the
// poll interval. Portable.
#pragma once

#include <array>
#include <cstddef>
#include <deque>
#include <optional>

struct OffsetSample {
    double time;   // seconds on the free-running clock
    double offset; // server time minus the free-running clock, in seconds
    double delay;  // the exchange's round trip, in seconds
};

struct OffsetFit {
    double time = 0;    // where the fit is anchored: the newest sample's time
    double offset = 0;  // its value there
    double slope = 0;   // its slope there: minus the oscillator's frequency error
    double bend = 0;    // the slope's rate of change there, which settles over `settle` seconds
    double settle = 1;  // seconds
    double scatter = 0; // the recent residuals' weighted root mean square, seconds
    // The filters' own doubt at the anchor: of the offset (s^2), of offset and slope (s), of the
    // slope.
    double variance = 0, covariance = 0, slopeVariance = 0;
    std::size_t used = 0; // samples in the fit: since the start or the last jump

    // Before the anchor (the clock was set back), the line through it: the bend's model does
    // not run backwards far.
    double at(double when) const;
    // How far the fit itself may miss an exact sample at that time: its standard error there.
    double deviationAt(double when) const;
};

class OffsetRegression {
public:
    // Samples kept: the least delay is taken among them.
    static constexpr std::size_t capacity = 64;

    // floor: the error of a sample with the least delay, in seconds (never 0).
    explicit OffsetRegression(double floor) : floor_(floor) {}

    // How far a sample of that delay may be off: half its delay beyond the least of the recent
    // delays since the start or the last jump, together with the floor.
    double error(double delay) const;
    // A sample older than the newest (the clock was set back) starts the fit again from it.
    void add(const OffsetSample& sample);
    // Forgets the samples and their delays (the server's time jumped), not the frequency learnt,
    // which is doubted by 2 ppm; by jumpRate (the jump's miss over the time since the fit) more
    // where the next sample misses at such a rate again: the frequency itself moved.
    void clear(double jumpRate = 0);
    // Samples added since the start, across jumps.
    std::size_t taken() const { return taken_; }

    // None with fewer than two samples.
    std::optional<OffsetFit> fit() const;

private:
    struct Filter {
        double wander = 0; // how fast the bend may change: its variance per second, s^-5
        bool started = false;
        bool learnt = false; // has taken two samples: a start keeps its slope and bend
        double time = 0;
        std::array<double, 3> state{}; // offset, slope, bend at time
        std::array<std::array<double, 3>, 3> covariance{};

        void predict(double when);
        void predictWithin(double dt); // dt at most a few settling times
        // The first sample after a start keeps the slope and bend learnt before, with doubt.
        void take(const OffsetSample& sample, double error);
        double expected(double when) const; // the offset predicted, without changing the filter
    };
    static constexpr std::size_t filterCount = 4;

    struct Kept {
        OffsetSample sample;
        // What the fit had predicted for it, minus the offset; NaN for a start's first samples.
        double missed;
        // What the slope's doubt grew by before it was taken (relative): a frequency that moved.
        double moved;
    };

    double floor_;
    std::deque<Kept> samples_;  // since the start or the last jump
    std::deque<double> delays_; // the newest ones, across jumps
    std::array<Filter, filterCount> filters_ = makeFilters();
    // The filters as the last start left them: taken again when the least delay falls so far
    // that the samples since were trusted too much.
    std::array<Filter, filterCount> restart_ = filters_;
    // Each filter's recent mean square miss, in units of the samples' errors.
    std::array<double, filterCount> misses_{};
    std::size_t predicted_ = 0;
    int run_ = 0;           // misses beyond what is likely in a row, signed
    double runFrom_ = 0;    // the time of the sample before the run's first miss
    double runScatter_ = 0; // the scatter before the run's first miss
    double jumpRate_ = 0;   // the last jump's miss over the time since the fit, until the next
    std::size_t taken_ = 0;

    static std::array<Filter, filterCount> makeFilters();
    double least() const;
    // How far the latest samples, but the newest `skipped`, missed their predictions: their
    // weighted root mean square.
    double scatter(std::size_t skipped = 0) const;
    double predicted(double when) const;
    std::array<double, filterCount> weights() const;
};
