#include "signal/fir_filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

using cf = std::complex<float>;

bool sameBits(cf a, cf b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Same value, where any NaN matches any NaN (payloads are not part of the result).
bool sameValue(float a, float b) {
    return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

std::vector<cf> randomSamples(size_t n, std::mt19937& rng) {
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<cf> v(n);
    for (auto& x : v) x = {u(rng), u(rng)};
    return v;
}

}  // namespace

TEST(FIRFilter, ImpulseGivesTheTapsInOrderThenZeros) {
    const std::vector<cf> taps = {{1, 2}, {3, -4}, {0.5f, 0}, {-6, 7}};
    FIRFilter f;
    f.init(taps);
    std::vector<cf> out;
    out.push_back(f.process(cf(1, 0)));
    for (int i = 0; i < 7; ++i) out.push_back(f.process(cf(0, 0)));
    for (size_t k = 0; k < taps.size(); ++k) EXPECT_EQ(out[k], taps[k]) << k;
    for (size_t k = taps.size(); k < out.size(); ++k) EXPECT_EQ(out[k], cf(0, 0)) << k;
}

TEST(FIRFilter, SmallCasesByHand) {
    FIRFilter two;
    two.init({{1, 0}, {0, 1}});
    EXPECT_EQ(two.process(cf(1, 0)), cf(1, 0));
    EXPECT_EQ(two.process(cf(2, 0)), cf(2, 1));

    FIRFilter one;
    one.init({{0.5f, -2}});
    for (cf x : {cf(1, 1), cf(-3, 0.25f), cf(0, 8)}) EXPECT_EQ(one.process(x), x * cf(0.5f, -2));
}

TEST(FIRFilter, MatchesDirectConvolutionBitForBitAcrossBlocks) {
    std::mt19937 rng(7);
    for (size_t n : {1u, 2u, 3u, 17u, 64u, 255u, 256u, 300u}) {
        const std::vector<cf> taps = randomSamples(n, rng);
        const std::vector<cf> x = randomSamples(3 * 256 + 5, rng);
        FIRFilter f;
        f.init(taps);
        std::vector<cf> y = x;
        // Uneven pieces, to cross every wrap of the history.
        for (size_t at = 0, piece = 1; at < y.size(); at += piece, piece = piece * 3 % 257 + 1)
            f.process(y.data() + at, std::min(piece, y.size() - at));
        for (size_t i = 0; i < x.size(); ++i) {
            float re = 0.0f, im = 0.0f;
            for (size_t k = 0; k < n && k <= i; ++k) {
                const cf p = multiplyComplex(taps[k], x[i - k]);
                re += p.real();
                im += p.imag();
            }
            ASSERT_TRUE(sameBits(y[i], cf(re, im))) << "taps " << n << " sample " << i;
        }
    }
}

TEST(MultiplyComplex, AgreesWithTheCompilersAnnexGProductAndCommutes) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float big = 3e38f, tiny = 1e-45f;
    const float parts[] = {0.0f, -0.0f, 1.0f, -2.5f, big, -big, tiny, inf, -inf, nan};
    for (float a : parts)
        for (float b : parts)
            for (float c : parts)
                for (float d : parts) {
                    const cf z(a, b), w(c, d);
                    const cf ours = multiplyComplex(z, w);
                    const cf reference = z * w;  // GCC: inline product, __mulsc3 on NaN
                    ASSERT_TRUE(sameValue(ours.real(), reference.real()) &&
                                sameValue(ours.imag(), reference.imag()))
                        << a << " " << b << " " << c << " " << d;
                    const cf swapped = multiplyComplex(w, z);
                    ASSERT_TRUE(sameValue(ours.real(), swapped.real()) &&
                                sameValue(ours.imag(), swapped.imag()));
                }
    // The recovery itself: an infinity times a finite nonzero value stays infinite.
    const cf r = multiplyComplex(cf(inf, nan), cf(1, 0));
    EXPECT_TRUE(std::isinf(r.real()) || std::isinf(r.imag()));
}

TEST(FIRFilter, ANanInputLeavesTheOutputAfterTheHistoryHasPassedIt) {
    FIRFilter f;
    f.init({{1, 0}, {0.5f, 0}, {0.25f, 0}});
    f.process(cf(1, 1));
    const cf bad = f.process(cf(std::nanf(""), 0));
    EXPECT_TRUE(std::isnan(bad.real()));
    f.process(cf(1, 0));
    f.process(cf(1, 0));
    EXPECT_EQ(f.process(cf(1, 0)), cf(1.75f, 0));  // the NaN has left the three-tap history
}
