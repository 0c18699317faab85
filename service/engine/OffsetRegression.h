// A weighted least-squares fit through the recent offsets of the free-running clock, as chrony
// fits its samples: its slope is the oscillator's frequency error, its value now the offset the
// clock has. Each sample is weighted by how far it can be trusted: its round-trip delay beyond
// the least tells how far queueing may have moved it.
//
// How many of the newest samples to fit, and whether to let the frequency bend (a parabola, for
// an oscillator that warms and cools), is learnt: each candidate fit predicts every new sample
// before it is added, and the fits are averaged, each counting the more the less its predictions
// have missed of late. Few samples follow a wandering frequency, many average a noisy path; which
// matters more depends on the oscillator, the path and the poll interval. Portable.
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

struct LineFit {
    double time = 0;      // where the fit is anchored: the newest sample's time
    double offset = 0;    // its value there
    double slope = 0;     // its slope there: minus the oscillator's frequency error
    double scatter = 0;   // the residuals' weighted root mean square, seconds
    std::size_t used = 0; // samples in the fit, the newest ones

    double at(double when) const { return offset + slope * (when - time); }
};

class OffsetRegression {
public:
    static constexpr std::size_t capacity = 64;

    // floor: the error of a sample with the least delay, in seconds (never 0).
    explicit OffsetRegression(double floor) : floor_(floor) {}

    // How far a sample of that delay may be off: half its delay beyond the least of the samples
    // kept, on top of the floor.
    double error(double delay) const;
    void add(const OffsetSample& sample);
    // Forgets the samples (the server's time jumped), not what was learnt of the candidates.
    void clear() { samples_.clear(); }
    std::size_t size() const { return samples_.size(); }

    // None with fewer than two samples.
    std::optional<LineFit> fit() const;

private:
    struct Candidate {
        std::size_t length; // newest samples
        int degree;         // 1: a line; 2: a parabola
    };
    static constexpr std::array<Candidate, 16> candidates{{{4, 1},
                                                           {6, 1},
                                                           {8, 1},
                                                           {12, 1},
                                                           {16, 1},
                                                           {24, 1},
                                                           {32, 1},
                                                           {48, 1},
                                                           {64, 1},
                                                           {8, 2},
                                                           {12, 2},
                                                           {16, 2},
                                                           {24, 2},
                                                           {32, 2},
                                                           {48, 2},
                                                           {64, 2}}};

    double floor_;
    std::deque<OffsetSample> samples_;
    // Each candidate's recent mean square miss, in units of the samples' errors.
    std::array<double, candidates.size()> misses_{};
    std::size_t predicted_ = 0;
};
