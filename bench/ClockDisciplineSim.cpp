// clock-discipline: runs Pendra's clock discipline, the same code as Pendra.exe's, against a
// simulated Windows clock (tests/fakes/SimulatedClock.h: the documented interrupt increment,
// whole adjustment units, the precise call, 100-ns readings, whole-millisecond steps), an
// oscillator with a constant error, a random walk and a daily temperature swing, and a simulated
// path to a server, and measures how far the clock stays from the server's time. Left out: the
// time a call takes, late ticks of a busy system, the kernel's own corrections, the loss of
// adjustments under 16 units of Vista and 7 (the tests cover that rule), and asymmetric paths.
#include "service/engine/ClockDiscipline.h"
#include "tests/fakes/SimulatedClock.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr double pi = 3.14159265358979323846;

struct Options {
    bool discipline = false;
    double drift = 0, wander = 0, temp = 0;
    double poll = 1024, hours = 24;
    bool exponential = false;
    unsigned samples = 1;
    double loss = 0;
    bool precise = false;
    std::optional<std::pair<double, double>> serverStep; // ms, hour
    std::optional<std::pair<double, double>> freqStep;   // ppm, hour
    std::uint32_t maxSlew = 1000;
    unsigned long long seed = 1;
};

double percentile(std::vector<double> values, double share) {
    if (values.empty()) {
        return 0;
    }
    const auto at = static_cast<std::size_t>(share * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at),
                     values.end());
    return values[at];
}

[[noreturn]] void usage() {
    std::fputs(
        "usage: clock-discipline --mode step|discipline --drift PPM --wander PPM --temp PPM "
        "--poll SECONDS\n"
        "                        --hours H --path fixed|exponential --samples N --loss FRACTION "
        "--api classic|precise\n"
        "                        [--server-step MS@HOUR] [--freq-step PPM@HOUR] [--max-slew MS] "
        "--seed N\n",
        stderr);
    std::exit(2);
}

std::pair<double, double> atHour(const char* text) {
    const char* at = std::strchr(text, '@');
    if (at == nullptr) {
        usage();
    }
    return {std::atof(text), std::atof(at + 1)};
}

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (i + 1 >= argc) {
            usage();
        }
        const char* value = argv[++i];
        if (name == "--mode") {
            options.discipline = std::strcmp(value, "discipline") == 0;
            if (!options.discipline && std::strcmp(value, "step") != 0) {
                usage();
            }
        } else if (name == "--drift") {
            options.drift = std::atof(value);
        } else if (name == "--wander") {
            options.wander = std::atof(value);
        } else if (name == "--temp") {
            options.temp = std::atof(value);
        } else if (name == "--poll") {
            options.poll = std::atof(value);
        } else if (name == "--hours") {
            options.hours = std::atof(value);
        } else if (name == "--path") {
            options.exponential = std::strcmp(value, "exponential") == 0;
            if (!options.exponential && std::strcmp(value, "fixed") != 0) {
                usage();
            }
        } else if (name == "--samples") {
            options.samples = static_cast<unsigned>(std::atoi(value));
        } else if (name == "--loss") {
            options.loss = std::atof(value);
        } else if (name == "--api") {
            options.precise = std::strcmp(value, "precise") == 0;
            if (!options.precise && std::strcmp(value, "classic") != 0) {
                usage();
            }
        } else if (name == "--server-step") {
            options.serverStep = atHour(value);
        } else if (name == "--freq-step") {
            options.freqStep = atHour(value);
        } else if (name == "--max-slew") {
            options.maxSlew = static_cast<std::uint32_t>(std::atol(value));
        } else if (name == "--seed") {
            options.seed = std::strtoull(value, nullptr, 10);
        } else {
            usage();
        }
    }
    if (options.poll < 1 || options.hours <= 0 || options.samples < 1 || options.samples > 8 ||
        options.loss < 0 || options.loss > 1) {
        usage();
    }
    return options;
}

class Simulation {
public:
    explicit Simulation(const Options& options)
        : options_(options), clock_(options.precise), random_(options.seed),
          discipline_(clock_, options.discipline ? options.maxSlew : 0) {
        // The clock starts a quarter of a second off, as a computer does after a while off.
        clock_.step(stampOf(-0.25));
        clock_.steps = 0;
    }

    void run() {
        const double end = options_.hours * 3600;
        double nextPoll = 1;
        double wanderPpm = 0;
        for (double t = 1; t <= end; t += 1) {
            wanderPpm += normal_(random_) * options_.wander / 60; // per second: sqrt(1/3600) h
            double drift = options_.drift;
            if (options_.freqStep && t >= options_.freqStep->second * 3600) {
                drift += options_.freqStep->first;
            }
            frequencyPpm_ = drift + wanderPpm + options_.temp * std::sin(2 * pi * t / 86400);
            clock_.frequency = frequencyPpm_ * 1e-6;
            clock_.advanceTo(t);
            discipline_.tick();
            if (t >= nextPoll) {
                nextPoll = poll(t) + options_.poll;
            }
            const double error = std::fabs(serverTime(clock_.trueTime()) - clock_.value());
            if (t >= end / 4) {
                errors_.push_back(error);
            }
            if (options_.serverStep && t >= options_.serverStep->second * 3600 && error >= 0.001) {
                lastMissAfterStep_ = t - options_.serverStep->second * 3600;
            }
        }
    }

    void report() const {
        const double p50 = percentile(errors_, 0.5) * 1000;
        const double p99 = percentile(errors_, 0.99) * 1000;
        const double max =
            errors_.empty() ? 0 : *std::max_element(errors_.begin(), errors_.end()) * 1000;
        const double estimate = discipline_.frequencyPpm().value_or(0);
        std::printf("polls %d, valid samples %d\n", polls_, validSamples_);
        if (options_.serverStep) {
            std::printf("server step: the error is under 1 ms from %.0f s after the step on\n",
                        lastMissAfterStep_ + 1);
        }
        std::printf("error p50 %.3f ms p99 %.3f ms max %.3f ms; steps %d; max rate %.3f ppm; "
                    "frequency error %.3f ppm\n",
                    p50, p99, max, std::max(0, clock_.steps - 1), discipline_.largestRatePpm(),
                    std::fabs(estimate - frequencyPpm_));
    }

private:
    double serverTime(double trueTime) const {
        double offset = 0;
        if (options_.serverStep && trueTime >= options_.serverStep->second * 3600) {
            offset = options_.serverStep->first / 1000;
        }
        return trueTime + offset;
    }
    double leg() {
        if (options_.exponential) {
            return 0.005 + exponential_(random_) * 0.005;
        }
        return 0.010 + (uniform_(random_) - 0.5) * 0.0006;
    }

    // One poll from true time t: the samples 2 s apart (a lost one costs the 10-s wait), the
    // one with the least delay corrects the clock. Returns when the poll ended.
    double poll(double t) {
        ++polls_;
        struct Sample {
            double offset, delay;
            std::uint64_t at;
        };
        std::optional<Sample> best;
        for (unsigned i = 0; i < options_.samples; ++i) {
            if (i > 0) {
                t += 2;
                clock_.advanceTo(t);
            }
            if (uniform_(random_) < options_.loss) {
                t += 10;
                clock_.advanceTo(t);
                continue;
            }
            const double out = leg();
            const double back = leg();
            const double t1 = static_cast<double>(clock_.now() - SimulatedClock::epochTicks) * 1e-7;
            const double t2 = serverTime(t + out);
            clock_.advanceTo(t + out + back);
            const std::uint64_t at = clock_.now();
            const double t4 = static_cast<double>(at - SimulatedClock::epochTicks) * 1e-7;
            t += out + back;
            const double offset = ((t2 - t1) + (t2 - t4)) / 2;
            const double delay = t4 - t1;
            ++validSamples_;
            if (!best || delay < best->delay) {
                best = Sample{offset, delay, at};
            }
        }
        if (best) {
            discipline_.correct(stampOf(best->offset), stampOf(best->delay), best->at);
        }
        return t;
    }

    Options options_;
    SimulatedClock clock_;
    std::mt19937_64 random_;
    std::normal_distribution<double> normal_{0, 1};
    std::uniform_real_distribution<double> uniform_{0, 1};
    std::exponential_distribution<double> exponential_{1};
    ClockDiscipline discipline_;
    std::vector<double> errors_;
    double frequencyPpm_ = 0;
    int polls_ = 0;
    int validSamples_ = 0;
    double lastMissAfterStep_ = 0;
};

} // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    Simulation simulation(options);
    simulation.run();
    simulation.report();
    return 0;
}
