#include "signal/envelope.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <random>

TEST(EnvelopeDetector, FirstValueIsZeroAndMeansIncludeTheCurrentValue) {
    EnvelopeDetector e;
    EXPECT_EQ(e.next(1, 0), 0.0f);
    EXPECT_EQ(e.next(0, 3), 10000.0f);
    EXPECT_EQ(e.next(-2, 0), 0.0f);
    EXPECT_EQ(e.next(0, 0), -15000.0f);  // mean 6/4
}

TEST(EnvelopeDetector, NonFiniteFramesGiveZeroAndStayOutOfTheMean) {
    EnvelopeDetector e;
    e.next(2, 0);
    EXPECT_EQ(e.next(std::nanf(""), 1), 0.0f);
    EXPECT_EQ(e.next(INFINITY, 0), 0.0f);
    EXPECT_EQ(e.next(3e38f, 3e38f), 0.0f);  // overflows float: not finite either
    EXPECT_EQ(e.mean().count(), 1u);
    EXPECT_EQ(e.next(4, 0), 10000.0f);  // mean of 2 and 4
}

TEST(Magnitude, EqualsTheLibraryComplexMagnitude) {
    std::mt19937 rng(11);
    std::uniform_int_distribution<uint32_t> bits;
    int compared = 0;
    while (compared < 200000) {
        const uint32_t a = bits(rng), b = bits(rng);
        float re, im;
        std::memcpy(&re, &a, 4);
        std::memcpy(&im, &b, 4);
        if (!std::isfinite(re) || !std::isfinite(im)) continue;
        ASSERT_EQ(magnitude(re, im), std::abs(std::complex<float>(re, im))) << re << " " << im;
        ++compared;
    }
}

TEST(RunningMean, AConstantNeverDrifts) {
    // A float sum would stop at 2^24; this must hold exactly far beyond.
    for (float m : {1.0f, 0.1f, 12345.678f}) {
        RunningMean mean;
        for (uint64_t i = 0; i < (1ull << 27); ++i) mean.add(m);
        EXPECT_EQ(mean.mean(), m);
        EXPECT_EQ(mean.count(), 1ull << 27);
    }
}

TEST(RunningMean, StaysWithinAFloatUlpOfTheTrueMean) {
    // Values k / 2^24 with integer k, so the true sum is an exact integer count of 2^-24.
    std::mt19937_64 rng(5);
    RunningMean mean;
    unsigned __int128 exact = 0;
    for (uint64_t i = 1; i <= (1ull << 26); ++i) {
        const uint64_t k = (i & 1) ? (rng() >> 40) : (rng() >> 54);  // a mix of scales
        mean.add(std::ldexp(static_cast<float>(k), -24));
        exact += k;
        if ((i & (i - 1)) == 0 || i % 9999991 == 0) {
            const long double truth = std::ldexp(static_cast<long double>(exact), -24) / i;
            const float got = mean.mean();
            const float ulp =
                std::nextafter(static_cast<float>(truth), INFINITY) - static_cast<float>(truth);
            ASSERT_LE(std::fabs(got - truth), ulp) << "after " << i;
        }
    }
}
