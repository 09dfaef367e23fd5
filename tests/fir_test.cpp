// The complex product and the FIR filter built on it, on every SIMD level this CPU has.
#include <gtest/gtest.h>
#include <hwy/tests/hwy_gtest.h>

#include <limits>
#include <random>
#include <vector>

#include "reference.h"
#include "signal/complex_mul.h"
#include "signal/fir_filter.h"

namespace {

using ref::cf;
using ref::same;

constexpr float inf = std::numeric_limits<float>::infinity();
constexpr float nan = std::numeric_limits<float>::quiet_NaN();

TEST(MultiplyComplex, AgreesWithTheCompilersAnnexGProductAndCommutes) {
    const float parts[] = {0.0f, -0.0f, 1.0f, -2.5f, 3e38f, -3e38f, 1e-45f, inf, -inf, nan};
    for (float a : parts)
        for (float b : parts)
            for (float c : parts)
                for (float d : parts) {
                    const cf z(a, b), w(c, d);
                    const cf ours = multiplyComplex(z, w);
                    // GCC: the plain product, and __mulsc3 when both parts are NaN.
                    ASSERT_TRUE(same(ours, z * w)) << a << " " << b << " " << c << " " << d;
                    ASSERT_TRUE(same(ours, multiplyComplex(w, z)));
                }
}

class FirEveryLevel : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(FirEveryLevel);

// Every filter length to 70 and two long ones, across calls that move the history to the
// front of its buffer, reaching the kernel's whole-vector loops and its scalar tail.
TEST_P(FirEveryLevel, IsTheDirectSumBitForBitAcrossCalls) {
    std::mt19937 rng(1234);
    std::vector<size_t> lengths = {256, 1024};
    for (size_t n = 0; n <= 70; ++n) lengths.push_back(n);
    for (const size_t n : lengths) {
        for (const unsigned rarity : {0u, 40u * static_cast<unsigned>(n + 1), 7u}) {
            const std::vector<cf> taps = ref::values(n, rng, rarity);
            const std::vector<cf> x = ref::values(1100, rng, rarity);
            const std::vector<cf> y = ref::filterInPieces(taps, x, static_cast<uint32_t>(rng()));
            for (size_t i = 0; i < x.size(); ++i) {
                const cf want = ref::firOutput(taps, x, i);
                ASSERT_TRUE(same(y[i], want)) << n << " taps, specials 1 in " << rarity << ", y["
                                              << i << "] = " << y[i] << ", want " << want;
            }
        }
    }
}

}  // namespace
