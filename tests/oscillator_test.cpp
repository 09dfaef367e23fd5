// The cosine factors: the polynomial, its SIMD form on every level, and the oscillator.
#include "signal/oscillator.h"

#include <gtest/gtest.h>
#include <hwy/tests/hwy_gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "reference.h"
#include "signal/cosine.h"

namespace {

TEST(CosineOfCycles, WithinAFloatRoundingOfTheTrueCosine) {
    double worst = 0;
    for (int i = 0; i <= 1 << 20; ++i) {
        const double x = std::ldexp(i, -20) + std::ldexp(i % 7, -30);
        const long double exact = std::cos(2.0L * 3.141592653589793238462643383279502884L * x);
        worst = std::max(worst, static_cast<double>(std::fabs(cosineOfCycles(x) - exact)));
    }
    EXPECT_LT(worst, 6.0e-8);  // half an ulp of float near 1 is 2^-25 = 3.0e-8
    EXPECT_EQ(cosineOfCycles(0.25), 0.0f);
    EXPECT_EQ(cosineOfCycles(0.5), -1.0f);
    EXPECT_EQ(cosineOfCycles(0.75), 0.0f);
    EXPECT_EQ(cosineOfCycles(1.0), 1.0f);
}

class CosineEveryLevel : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(CosineEveryLevel);

TEST_P(CosineEveryLevel, MatchesTheScalarEvaluationBitForBit) {
    std::vector<double> x;
    // The folds and branch limits, and their neighbours on both sides.
    for (const double edge : {0.0, 0.125, 0.25, 0.375, 0.5, 0.625, 0.75, 0.875, 1.0})
        for (const double p : {edge, -edge})
            x.insert(x.end(), {p, std::nextafter(p, 2.0), std::nextafter(p, -2.0)});
    // Rounding ties and values that round differently depending on the method.
    x.insert(x.end(), {0.49999999999999994, 1.5, 2.5, -2.5, 1e6 + 0.3, 0x1p52 - 0.5, 0x1p52,
                       0x1p52 + 1, 0x1p53 + 2, 1e300, -1e300, 5e-324});
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> unit(0.0, 1.0), wide(-1e9, 1e9);
    for (int i = 0; i < 20000; ++i) x.push_back(i % 10 ? unit(rng) : wide(rng));
    x.push_back(0.3);  // an odd count leaves a scalar tail
    std::vector<float> expected(x.size()), got(x.size());
    cosineOfCyclesScalar(x.data(), expected.data(), x.size());
    cosineOfCycles(x.data(), got.data(), x.size());
    for (size_t i = 0; i < x.size(); ++i)
        ASSERT_TRUE(ref::same(got[i], expected[i]))
            << "phase " << x[i] << ": " << got[i] << " vs " << expected[i];
}

// Far into a run, from a table or computed: the scalar cosine of the phase, bit for bit, and
// the true factor, to 1e-6 and exactly at whole and half cycles.
TEST(CosineOscillator, GivesTheFactorsOfTheExactPhaseFarIntoARun) {
    const struct {
        float frequency;
        uint32_t samplerate;
    } cases[] = {{433.92e6f, 2400000}, {100e3f, 2400000},   {-1234.5678f, 48000}, {100.5f, 48000},
                 {0.1f, 24000},        {3.0e9f, 2048000},   {1e30f, 1000003},     {7e6f, 2400000},
                 {1e-9f, 96000},       {0.0f, 48000},       {600000.0f, 2400000}, {-7.0f, 48000},
                 {1.0f, 2400000},      {12345.5f, 2400000}, {1e-30f, 1000}};
    std::mt19937_64 rng(3);
    for (const auto& c : cases) {
        std::vector<uint64_t> starts = {0, (1ull << 31) - 100, (1ull << 32) - 100,
                                        (1ull << 40) - 100, (1ull << 41) + 12345};
        for (int i = 0; i < 5; ++i) starts.push_back(rng() >> 22);
        for (const uint64_t start : starts) {
            CosineOscillator oscillator(c.frequency, c.samplerate);
            PhaseAccumulator phase(c.frequency, c.samplerate);
            oscillator.phase().seek(start);
            phase.seek(start);
            uint64_t n = start;
            for (const size_t count : {1, 255, 256, 77}) {
                std::vector<double> cycles(count);
                std::vector<float> expected(count), got(count);
                phase.next(cycles.data(), count);
                cosineOfCyclesScalar(cycles.data(), expected.data(), count);
                oscillator.next(got.data(), count);
                for (size_t i = 0; i < count; ++i, ++n) {
                    const ref::Factor want = ref::trueFactor(c.frequency, c.samplerate, n);
                    ASSERT_TRUE(ref::same(got[i], expected[i]) && ref::rightFactor(got[i], want))
                        << c.frequency << " Hz at " << c.samplerate << "/s, sample " << n << ": "
                        << got[i] << ", scalar " << expected[i] << ", true "
                        << static_cast<double>(want.value);
                }
            }
        }
    }
}

}  // namespace
