#include "signal/oscillator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

using u128 = unsigned __int128;

// cos(2*pi*n*frequency/samplerate) from exact integer arithmetic: the float frequency is
// M * 2^E exactly, and the phase numerator n*M*2^E is reduced modulo samplerate (E >= 0) or
// modulo samplerate * 2^-E (E < 0) before anything is rounded.
long double exactFactor(float frequency, uint32_t samplerate, uint64_t n) {
    int exponent = 0;
    const double mantissa = std::frexp(std::fabs(static_cast<double>(frequency)), &exponent);
    const u128 m = static_cast<u128>(std::ldexp(mantissa, 24));
    exponent -= 24;
    u128 numerator, denominator;
    if (exponent >= 0) {
        u128 power = 1 % samplerate;
        for (int i = 0; i < exponent; ++i) power = power * 2 % samplerate;
        numerator = (m % samplerate) * power % samplerate * (n % samplerate) % samplerate;
        denominator = samplerate;
    } else {
        denominator = static_cast<u128>(samplerate) << -exponent;  // tests keep -E <= 60
        numerator = static_cast<u128>(n % denominator) * m % denominator;
    }
    const long double cycles =
        static_cast<long double>(numerator) / static_cast<long double>(denominator);
    return std::cos(2.0L * 3.141592653589793238462643383279502884L * cycles);
}

std::vector<float> factorsFrom(float frequency, uint32_t samplerate, uint64_t start, size_t n) {
    CosineOscillator oscillator(frequency, samplerate);
    oscillator.phase().seek(start);
    std::vector<float> factors(n);
    oscillator.next(factors.data(), n);
    return factors;
}

}  // namespace

TEST(CosineOscillator, StaysWithin1e6OfTheExactFactorFarIntoARun) {
    struct Case {
        float frequency;
        uint32_t samplerate;
    };
    const Case cases[] = {{433.92e6f, 2400000}, {100e3f, 2400000}, {-1234.5678f, 48000},
                          {100.5f, 48000},      {0.1f, 24000},     {3.0e9f, 2048000},
                          {1e30f, 1000003},     {7e6f, 2400000},   {1e-9f, 96000}};
    std::mt19937_64 rng(3);
    for (const Case& c : cases) {
        std::vector<uint64_t> starts = {0, (1ull << 31) - 100, (1ull << 32) - 100,
                                        (1ull << 40) - 100, (1ull << 41) + 12345};
        for (int i = 0; i < 20; ++i) starts.push_back(rng() >> 22);
        double worst = 0;
        for (uint64_t start : starts) {
            const std::vector<float> f = factorsFrom(c.frequency, c.samplerate, start, 300);
            for (size_t i = 0; i < f.size(); ++i) {
                const long double exact = exactFactor(c.frequency, c.samplerate, start + i);
                worst = std::max(worst, static_cast<double>(std::fabs(f[i] - exact)));
            }
        }
        EXPECT_LT(worst, 1e-6) << c.frequency << " Hz at " << c.samplerate;
    }
}

TEST(CosineOscillator, ExactValuesAtWholeAndQuarterCycles) {
    for (float frequency : {0.0f, 433.92e6f, -5.0f, 1e9f}) {
        const std::vector<float> f = factorsFrom(frequency, 2400000, 0, 1);
        EXPECT_EQ(f[0], 1.0f) << frequency;
    }
    for (uint64_t start : {0ull, 1ull << 40, (1ull << 52) + 3}) {
        for (float v : factorsFrom(0.0f, 2400000, start, 1000)) ASSERT_EQ(v, 1.0f);
        const std::vector<float> quarter = factorsFrom(600000.0f, 2400000, start, 1000);
        for (size_t i = 0; i < quarter.size(); ++i) {
            const float expected[] = {1.0f, 0.0f, -1.0f, 0.0f};
            ASSERT_EQ(quarter[i], expected[(start + i) % 4]) << start + i;
        }
    }
}

TEST(PhaseAccumulator, SeekingLandsWhereSteppingDoes) {
    for (float frequency : {433.92e6f, 0.1f, 123456.789f}) {
        PhaseAccumulator stepped(frequency, 2400000), sought(frequency, 2400000);
        std::vector<double> a(4096), b(1);
        for (int i = 0; i < 700; ++i) stepped.next(a.data(), a.size());
        sought.seek(700 * 4096);
        stepped.next(a.data(), 1);
        sought.next(b.data(), 1);
        EXPECT_EQ(a[0], b[0]) << frequency;
    }
}

TEST(CosineOfCycles, WithinAFloatRoundingOfTheTrueCosine) {
    double worst = 0;
    for (int i = 0; i <= 1 << 20; ++i) {
        const double x = std::ldexp(i, -20) + std::ldexp(i % 7, -30);
        const long double exact = std::cos(2.0L * 3.141592653589793238462643383279502884L * x);
        worst = std::max(worst, static_cast<double>(std::fabs(cosineOfCycles(x) - exact)));
    }
    EXPECT_LT(worst, 6.0e-8);  // half an ulp of float near 1 is 2^-25 = 3.0e-8
    EXPECT_EQ(cosineOfCycles(0.5), -1.0f);
    EXPECT_EQ(cosineOfCycles(0.75), 0.0f);
    EXPECT_EQ(cosineOfCycles(1.0), 1.0f);
}
