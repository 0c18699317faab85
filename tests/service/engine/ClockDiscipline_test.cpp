// The clock's discipline against a simulated Windows clock: it converges and then keeps the
// clock close between polls, steps only where it must, never asks for a rate beyond the limit,
// takes over the frequency of an earlier run, and gives the clock its own rate back.
#include "service/engine/ClockDiscipline.h"
#include "service/engine/OffsetRegression.h"
#include "tests/fakes/SimulatedClock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

namespace {

// Polls a server through a path of 10 ms each way, ticks every second, and measures the
// clock's error against the server over the run's second half.
double reading(std::uint64_t ticks) {
    return double(static_cast<std::int64_t>(ticks - SimulatedClock::epochTicks)) * 1e-7;
}

struct Polling {
    SimulatedClock& clock;
    ClockDiscipline& discipline;
    double worstError = 0;
    double measuredFrom = 0.5; // the share of each run before the error counts

    // Ticks without a reply.
    void silence(double seconds) { polls(seconds, 0); }

    // offset: what the server's time is ahead of the true time at t; every 0: never.
    void polls(
        double seconds, double every,
        const std::function<double(double)>& offset = [](double) { return 0.0; }) {
        const double start = clock.trueTime();
        for (double t = start + 1; t <= start + seconds; t += 1) {
            clock.advanceTo(t);
            discipline.tick();
            if (every > 0 && std::fmod(t - start, every) == 1) {
                const double t1 = reading(clock.now());
                clock.advanceTo(t + 0.02);
                const std::uint64_t at = clock.now();
                const double t4 = reading(at);
                const double server = t + 0.01 + offset(t + 0.01);
                discipline.correct(stampOf(server - (t1 + t4) / 2), stampOf(t4 - t1), at);
            }
            if (t > start + seconds * measuredFrom) {
                worstError =
                    std::max(worstError, std::fabs(clock.trueTime() + offset(t) - clock.value()));
            }
        }
    }
};

std::uint64_t largestDeviation(const SimulatedClock& clock) {
    std::uint64_t largest = 0;
    for (const std::uint64_t adjustment : clock.adjustments) {
        const std::uint64_t increment = clock.increment();
        largest = std::max(largest, adjustment > increment ? adjustment - increment
                                                           : increment - adjustment);
    }
    return largest;
}

} // namespace

TEST(ClockDiscipline, ConvergesAndKeepsTheClockBetweenPollsWithoutSteps) {
    for (const bool precise : {false, true}) {
        SCOPED_TRACE(precise ? "precise" : "classic");
        SimulatedClock clock(precise);
        clock.frequency = 50e-6;
        ClockDiscipline discipline(clock, 1000);
        Polling run{clock, discipline};
        clock.step(stampOf(-0.2)); // the clock starts off
        clock.steps = 0;
        run.polls(6 * 3600, 256);
        EXPECT_EQ(clock.steps, 1); // the first correction only
        EXPECT_LT(run.worstError, 50e-6);
        ASSERT_TRUE(discipline.frequencyPpm());
        EXPECT_NEAR(*discipline.frequencyPpm(), 50, 0.05);
        EXPECT_LE(discipline.largestRatePpm(), ClockDiscipline::maximumRatePpm);
        EXPECT_LE(largestDeviation(clock), clock.increment() / 2000);
    }
}

TEST(ClockDiscipline, StepsFirstAndBeyondTheLimitAndOnlyStepsWithoutOne) {
    SimulatedClock clock;
    ClockDiscipline discipline(clock, 100);
    EXPECT_TRUE(discipline.disciplines());
    EXPECT_EQ(discipline.correct(stampOf(0.0005), stampOf(0.02), clock.now()), Correction::step);
    EXPECT_EQ(discipline.correct(stampOf(0.1), stampOf(0.02), clock.now()), Correction::slew);
    EXPECT_EQ(discipline.correct(stampOf(-0.1001), stampOf(0.02), clock.now()), Correction::step);

    SimulatedClock plain;
    ClockDiscipline steps(plain, 0);
    EXPECT_FALSE(steps.disciplines());
    EXPECT_FALSE(steps.rateSet());
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(steps.correct(stampOf(0.0005), stampOf(0.02), plain.now()), Correction::step);
        steps.tick();
    }
    // As the service always did: the rate and its setting are left alone.
    EXPECT_TRUE(plain.adjustments.empty());
    EXPECT_EQ(plain.releases, 0);
    EXPECT_FALSE(steps.frequencyPpm());

    // Windows 95/98 can only step; a system that refuses the rate steps from then on.
    SimulatedClock old(false, RateControl::Kind::none);
    EXPECT_FALSE(ClockDiscipline(old, 100).disciplines());
    SimulatedClock refusing;
    refusing.refuse = true;
    ClockDiscipline refused(refusing, 100);
    refused.correct(stampOf(0.01), stampOf(0.02), refusing.now());
    // The refused rate took nothing away: this offset is stepped after all.
    EXPECT_EQ(refused.correct(stampOf(0.01), stampOf(0.02), refusing.now()), Correction::step);
    EXPECT_EQ(refusing.steps, 2);
    EXPECT_FALSE(refused.frequencyPpm());
    EXPECT_EQ(refused.takeRateFailure(), 5u);
    EXPECT_FALSE(refused.takeRateFailure()); // told once
    EXPECT_EQ(refused.correct(stampOf(0.01), stampOf(0.02), refusing.now()), Correction::step);
}

TEST(ClockDiscipline, BadServersAndSilenceNeverBringARateBeyondTheLimitOrAStepBelowIt) {
    SimulatedClock clock(false, RateControl::Kind::classic, 16);
    clock.frequency = 80e-6;
    ClockDiscipline discipline(clock, 1000);
    Polling run{clock, discipline};
    run.polls(3600, 64);
    clock.steps = 0;
    // A server that jumps back and forth by 500 ms every poll: slewed, never stepped.
    run.polls(4 * 3600, 64, [](double t) { return std::fmod(t, 128) < 64 ? 0.5 : 0.0; });
    EXPECT_EQ(clock.steps, 0);
    // A day without a reply, then offsets at the ends of the range: these are stepped.
    run.silence(86400);
    for (const double offset : {2147483.647, -2147483.648}) {
        EXPECT_EQ(discipline.correct(stampOf(offset), stampOf(0.02), clock.now()),
                  Correction::step);
        run.silence(600);
    }
    EXPECT_LE(discipline.largestRatePpm(), ClockDiscipline::maximumRatePpm);
    EXPECT_LE(largestDeviation(clock), 78u); // 499.2 ppm of 156250
    // Vista and 7 lose less than 16 units: every adjustment is nominal or at least 16 away.
    for (const std::uint64_t adjustment : clock.adjustments) {
        const auto deviation = std::llabs(static_cast<long long>(adjustment) - 156250);
        EXPECT_TRUE(deviation == 0 || deviation >= 16) << adjustment;
    }
}

TEST(ClockDiscipline, TakesOverTheFrequencyOfAnEarlierRunAndGivesTheRateBack) {
    SimulatedClock clock;
    clock.frequency = -30e-6;
    ClockDiscipline discipline(clock, 1000, -30.0);
    EXPECT_EQ(clock.releases, 1); // a rate that a crashed run left behind goes first
    EXPECT_NEAR(discipline.frequencyPpm().value_or(0), -30.0, 1e-9);
    discipline.correct(stampOf(0.2), stampOf(0.02), clock.now());
    discipline.tick();
    // At once the rate that makes up for it: 30 ppm of 156250 units is about 4.7.
    ASSERT_FALSE(clock.adjustments.empty());
    EXPECT_NEAR(double(clock.adjustments.back()), 156250 + 4.7, 1);
    EXPECT_FALSE(ClockDiscipline(clock, 1000, 600.0).frequencyPpm()); // not an oscillator's

    const std::size_t set = clock.adjustments.size();
    EXPECT_TRUE(discipline.rateSet());
    EXPECT_TRUE(discipline.release());
    EXPECT_FALSE(discipline.rateSet());
    EXPECT_EQ(clock.releases, 3);
    discipline.tick();
    discipline.correct(stampOf(0.001), stampOf(0.02), clock.now());
    EXPECT_EQ(clock.adjustments.size(), set);
}

TEST(ClockDiscipline, AQueuedFirstSampleAndAServerJumpAfterASilenceAreNotTakenForFrequency) {
    SimulatedClock clock;
    clock.frequency = 50e-6;
    ClockDiscipline discipline(clock, 1000);
    Polling run{clock, discipline};
    // The first reply was queued: 90 ms off, with 180 ms more delay than the later ones.
    discipline.correct(stampOf(-0.09), stampOf(0.2), clock.now());
    run.polls(8 * 1024, 1024);
    EXPECT_NEAR(discipline.frequencyPpm().value_or(0), 50, 0.5);
    EXPECT_LT(run.worstError, 1e-3);

    // 14 hours without a reply, one poll, then the server's time is 300 ms ahead.
    run.silence(14 * 3600);
    run.polls(1024, 1024);
    run.worstError = 0;
    run.polls(4 * 1024, 1024, [](double) { return 0.3; });
    EXPECT_NEAR(discipline.frequencyPpm().value_or(0), 50, 0.5);
    EXPECT_LT(run.worstError, 1e-3);
    EXPECT_EQ(clock.steps, 1);
}

TEST(ClockDiscipline, AClockSetFarAwayByAnotherProgramIsSteppedBackAndKeepsTheFrequency) {
    SimulatedClock clock;
    clock.frequency = -20e-6;
    ClockDiscipline discipline(clock, 1000);
    Polling run{clock, discipline};
    run.polls(4 * 3600, 1024);
    for (const double away : {-120 * 86400.0, 120 * 86400.0}) {
        SCOPED_TRACE(away);
        clock.step(stampOf(away));
        clock.steps = 0;
        run.silence(600);
        run.worstError = 0;
        run.polls(3 * 3600, 1024);
        EXPECT_EQ(clock.steps, 1);
        EXPECT_LT(run.worstError, 1e-3);
        EXPECT_NEAR(discipline.frequencyPpm().value_or(0), -20, 0.5);
    }
    EXPECT_LE(discipline.largestRatePpm(), ClockDiscipline::maximumRatePpm);
}

TEST(ClockDiscipline, SingleRepliesSecondsOffAreSteppedAndLeaveTheFrequencyAlone) {
    SimulatedClock clock;
    clock.frequency = 80e-6;
    ClockDiscipline discipline(clock, 1000);
    Polling run{clock, discipline};
    run.polls(4 * 3600, 64);
    clock.steps = 0;
    // The first reply 1.5 s ahead, the eleventh 1.5 s behind: each is stepped, and stepped back
    // at the next poll; neither is a frequency, nor blinds the test for the next.
    const double start = clock.trueTime();
    run.polls(3 * 3600, 64, [start](double t) {
        const double since = t - start;
        return since < 64 ? 1.5 : since >= 640 && since < 704 ? -1.5 : 0.0;
    });
    EXPECT_EQ(clock.steps, 4);
    EXPECT_LT(run.worstError, 1e-3);
    EXPECT_NEAR(discipline.frequencyPpm().value_or(0), 80, 0.5);
}

TEST(ClockDiscipline, AFrequencyThatMovesAtOnceIsFollowedWithinAFewPolls) {
    SimulatedClock clock;
    clock.frequency = 80e-6;
    ClockDiscipline discipline(clock, 1000);
    Polling run{clock, discipline};
    run.polls(4 * 3600, 64);
    clock.frequency = 130e-6; // a virtual machine moved to another host
    run.worstError = 0;
    run.polls(3600, 64); // measured over the last half hour
    EXPECT_LT(run.worstError, 1e-3);
    EXPECT_NEAR(discipline.frequencyPpm().value_or(0), 130, 1);
    EXPECT_EQ(clock.steps, 1);
}

// A server step too small for a jump leaves misses of one sign that fade; they must not hold
// a run open, so that a frequency move long after is taken from its own misses.
TEST(ClockDiscipline, AFadedSmallServerStepLeavesNoRunForALaterFrequencyMove) {
    SimulatedClock clock;
    clock.frequency = 80e-6;
    ClockDiscipline discipline(clock, 1000);
    Polling run{clock, discipline};
    run.polls(4 * 3600, 64);
    // 1 ms ahead from now on, and 800 s later running 100 ppm faster, half-way between polls
    // (the same to the discipline as its own oscillator slowing down).
    const double moved = clock.trueTime() + 800;
    run.worstError = 0;
    run.measuredFrom = 800.0 / (800 + 3 * 3600);
    run.polls(800 + 3 * 3600, 64,
              [moved](double t) { return 1e-3 + (t > moved ? 100e-6 * (t - moved) : 0); });
    EXPECT_LT(run.worstError, 11e-3); // a held run fired late, with 13 ms
    EXPECT_EQ(clock.steps, 1);
}

// The estimator alone: a frequency that moves is learnt from the misses it leaves, after a jump
// as in a run of misses, also where a queued sample hides part of the move.
TEST(OffsetRegression, AMovedFrequencyIsLearntAfterAJumpAndFromARunWithAQueuedSample) {
    const auto learnt = [](double secondDelay) {
        OffsetRegression fit(300e-6);
        double t = 0;
        for (int i = 0; i < 40; ++i, t += 64) {
            fit.add({t, 0.0, 0.03});
        }
        fit.clear(200e-6); // the jump missed by 200 ppm since the fit
        fit.add({t, 0.0, 0.03});
        fit.add({t + 64, 200e-6 * 64, secondDelay}); // and the next misses at that rate again
        return fit.fit()->slope;
    };
    EXPECT_NEAR(learnt(0.03), 200e-6, 20e-6);
    EXPECT_NEAR(learnt(0.02), 200e-6, 40e-6); // its least delay takes the first again

    OffsetRegression fit(300e-6);
    double t = 0;
    for (int i = 0; i < 40; ++i, t += 64) {
        fit.add({t, 0.0, 0.02});
    }
    const double from = t - 64;
    for (int poll = 0; poll < 12; ++poll, t += 64) {
        fit.add({t, -200e-6 * (t - from), poll == 1 ? 0.06 : 0.02});
    }
    EXPECT_NEAR(fit.fit()->slope, -200e-6, 10e-6);
}
