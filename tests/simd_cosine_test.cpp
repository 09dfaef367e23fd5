// The SIMD cosine factors against the scalar evaluation, bit for bit, on every SIMD level.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "signal/cosine.h"
#include "signal/oscillator.h"
#include "simd_levels.h"

namespace {

uint32_t bits(float x) {
    uint32_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

std::vector<double> phases() {
    std::vector<double> x;
    // The folds and branch limits, and their neighbours on both sides.
    for (const double edge : {0.0, 0.125, 0.25, 0.375, 0.5, 0.625, 0.75, 0.875, 1.0}) {
        for (const double p : {edge, -edge}) {
            x.push_back(p);
            x.push_back(std::nextafter(p, 2.0));
            x.push_back(std::nextafter(p, -2.0));
        }
    }
    // Rounding ties and values that round differently depending on the method.
    for (const double p : {0.49999999999999994, 1.5, 2.5, -2.5, 1e6 + 0.3, 0x1p52 - 0.5, 0x1p52,
                           0x1p52 + 1, 0x1p53 + 2, 1e300, -1e300, 5e-324})
        x.push_back(p);
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> unit(0.0, 1.0), wide(-1e9, 1e9);
    for (int i = 0; i < 20000; ++i) x.push_back(unit(rng));
    for (int i = 0; i < 2000; ++i) x.push_back(wide(rng));
    // What the program feeds it.
    std::vector<double> cycles(4096);
    PhaseAccumulator(433.92e6f, 2400000).next(cycles.data(), cycles.size());
    x.insert(x.end(), cycles.begin(), cycles.end());
    x.push_back(0.3);  // an odd count leaves a scalar tail
    return x;
}

class SimdCosine : public SimdLevels {};

TEST_P(SimdCosine, MatchesTheScalarEvaluation) {
    const std::vector<double> x = phases();
    std::vector<float> expected(x.size()), got(x.size());
    cosineOfCyclesScalar(x.data(), expected.data(), x.size());
    cosineOfCycles(x.data(), got.data(), x.size());
    for (size_t i = 0; i < x.size(); ++i)
        ASSERT_EQ(bits(got[i]), bits(expected[i]))
            << "phase " << x[i] << ": " << got[i] << " vs " << expected[i];
}

TEST_P(SimdCosine, NonFinitePhasesGiveNaN) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<double> x = {inf, -inf, std::nan(""), 0.0, inf, inf, inf, inf, inf};
    std::vector<float> got(x.size());
    cosineOfCycles(x.data(), got.data(), x.size());
    for (size_t i = 0; i < x.size(); ++i)
        EXPECT_EQ(std::isnan(got[i]), !std::isfinite(x[i])) << "phase " << x[i];
}

INSTANTIATE_SIMD_LEVELS(SimdCosine);

}  // namespace

namespace {

// Factors from a table for short periods, computed afresh otherwise: the same bits either
// way, also after a jump.
TEST(CosineOscillatorTable, GivesTheFactorsOfTheExactPhase) {
    const struct {
        float frequency;
        uint32_t samplerate;
    } cases[] = {{100e3f, 2400000}, {433.92e6f, 2400000}, {0.0f, 48000},       {600000.0f, 2400000},
                 {-7.0f, 48000},    {1.0f, 2400000},      {12345.5f, 2400000}, {1e-30f, 1000}};
    for (const auto& c : cases) {
        for (const uint64_t start : {uint64_t{0}, uint64_t{1} << 40}) {
            CosineOscillator oscillator(c.frequency, c.samplerate);
            PhaseAccumulator phase(c.frequency, c.samplerate);
            oscillator.phase().seek(start);
            phase.seek(start);
            for (const size_t n : {1, 255, 256, 1000, 77}) {
                std::vector<double> cycles(n);
                std::vector<float> expected(n), got(n);
                phase.next(cycles.data(), n);
                cosineOfCyclesScalar(cycles.data(), expected.data(), n);
                oscillator.next(got.data(), n);
                for (size_t i = 0; i < n; ++i)
                    ASSERT_EQ(bits(got[i]), bits(expected[i]))
                        << c.frequency << " Hz at " << c.samplerate << "/s from sample " << start
                        << ", " << i << " into a call of " << n;
            }
        }
    }
}

}  // namespace
