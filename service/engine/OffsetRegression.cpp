#include "service/engine/OffsetRegression.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

namespace {

// How quickly the candidates' records forget: about the last this many polls count.
constexpr double recordPolls = 16;
// Before this many predictions, the line through every sample is used.
constexpr std::size_t fewestPredictions = 4;
// A parabola through fewer samples follows their noise more than the frequency.
constexpr std::size_t fewestForParabola = 6;

struct Polynomial {
    double value = 0, slope = 0, curve = 0; // at the anchor; curve is half the second derivative
    double at(double dt) const { return value + slope * dt + curve * dt * dt; }
};

// Weighted least squares of degree 1 or 2 through samples [first, last), anchored at anchor.
Polynomial fitPolynomial(const std::deque<OffsetSample>& samples, const std::vector<double>& errors,
                         std::size_t first, std::size_t last, double anchor, int degree) {
    constexpr double scale = 1000; // seconds per unit of the fit's time: keeps the sums in range
    const int terms = degree + 1;
    double m[3][4] = {};
    for (std::size_t i = first; i < last; ++i) {
        const double weight = 1 / (errors[i] * errors[i]);
        const double t = (samples[i].time - anchor) / scale;
        const double powers[3] = {1, t, t * t};
        for (int row = 0; row < terms; ++row) {
            for (int column = 0; column < terms; ++column) {
                m[row][column] += weight * powers[row] * powers[column];
            }
            m[row][3] += weight * powers[row] * samples[i].offset;
        }
    }
    // Gauss-Jordan with partial pivoting; samples at one time leave the slope undetermined.
    for (int column = 0; column < terms; ++column) {
        int pivot = column;
        for (int row = column + 1; row < terms; ++row) {
            if (std::fabs(m[row][column]) > std::fabs(m[pivot][column])) {
                pivot = row;
            }
        }
        if (std::fabs(m[pivot][column]) < 1e-300) {
            return degree > 1 ? fitPolynomial(samples, errors, first, last, anchor, degree - 1)
                              : Polynomial{samples[last - 1].offset, 0, 0};
        }
        std::swap(m[column], m[pivot]);
        for (int row = 0; row < terms; ++row) {
            if (row != column) {
                const double factor = m[row][column] / m[column][column];
                for (int k = column; k < 4; ++k) {
                    m[row][k] -= factor * m[column][k];
                }
            }
        }
    }
    Polynomial fit;
    fit.value = m[0][3] / m[0][0];
    fit.slope = m[1][3] / m[1][1] / scale;
    if (degree == 2) {
        fit.curve = m[2][3] / m[2][2] / (scale * scale);
    }
    return fit;
}

} // namespace

double OffsetRegression::error(double delay) const {
    double least = delay;
    for (const OffsetSample& sample : samples_) {
        least = std::min(least, sample.delay);
    }
    return floor_ + (delay - least) / 2;
}

void OffsetRegression::add(const OffsetSample& sample) {
    const std::size_t count = samples_.size();
    if (count >= 2) {
        std::vector<double> errors;
        for (const OffsetSample& each : samples_) {
            errors.push_back(error(each.delay));
        }
        const double own = error(sample.delay);
        const double alpha =
            predicted_ < recordPolls ? 1.0 / double(predicted_ + 1) : 1 / recordPolls;
        for (std::size_t k = 0; k < candidates.size(); ++k) {
            const std::size_t first = count - std::min(candidates[k].length, count);
            const int degree = count - first >= fewestForParabola ? candidates[k].degree : 1;
            const Polynomial fit =
                fitPolynomial(samples_, errors, first, count, samples_.back().time, degree);
            const double missed =
                (sample.offset - fit.at(sample.time - samples_.back().time)) / own;
            misses_[k] += alpha * (missed * missed - misses_[k]);
        }
        ++predicted_;
    }
    samples_.push_back(sample);
    if (samples_.size() > capacity) {
        samples_.pop_front();
    }
}

std::optional<LineFit> OffsetRegression::fit() const {
    const std::size_t count = samples_.size();
    if (count < 2) {
        return std::nullopt;
    }
    std::vector<double> errors;
    for (const OffsetSample& sample : samples_) {
        errors.push_back(error(sample.delay));
    }
    const double anchor = samples_.back().time;
    LineFit line;
    line.time = anchor;
    line.used = count;
    if (predicted_ < fewestPredictions) {
        const Polynomial fit = fitPolynomial(samples_, errors, 0, count, anchor, 1);
        line.offset = fit.value;
        line.slope = fit.slope;
    } else {
        // Each candidate counts by the square of how much better its record is than the best's:
        // an average moves less from poll to poll than a choice would.
        const double best = *std::min_element(misses_.begin(), misses_.end());
        double total = 0;
        for (std::size_t k = 0; k < candidates.size(); ++k) {
            const std::size_t first = count - std::min(candidates[k].length, count);
            const int degree = count - first >= fewestForParabola ? candidates[k].degree : 1;
            const Polynomial fit = fitPolynomial(samples_, errors, first, count, anchor, degree);
            const double ratio = best > 0 ? best / misses_[k] : 1;
            const double weight = ratio * ratio;
            total += weight;
            line.offset += weight * fit.value;
            line.slope += weight * fit.slope;
        }
        line.offset /= total;
        line.slope /= total;
    }
    double squares = 0;
    double weights = 0;
    for (std::size_t i = count - std::min<std::size_t>(count, 8); i < count; ++i) {
        const double residual = samples_[i].offset - line.at(samples_[i].time);
        squares += residual * residual / (errors[i] * errors[i]);
        weights += 1 / (errors[i] * errors[i]);
    }
    line.scatter = std::sqrt(squares / weights);
    return line;
}
