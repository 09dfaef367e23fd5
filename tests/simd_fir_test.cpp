// The SIMD FIR kernel and the filter built on it against the reference arithmetic, bit for
// bit, on every SIMD level this CPU has.
#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "signal/complex_mul.h"
#include "signal/fir_filter.h"
#include "signal/fir_kernel.h"
#include "signal/simd_target.h"
#include "simd_levels.h"

namespace {

constexpr float inf = std::numeric_limits<float>::infinity();
constexpr float nan = std::numeric_limits<float>::quiet_NaN();

// Random values in [-1, 1], with one in `rarity` replaced by a special one: NaN, infinities,
// zeros of both signs, subnormals, and magnitudes whose products overflow or underflow.
std::vector<float> values(size_t n, std::mt19937& rng, unsigned rarity) {
    static const float special[] = {nan,     -nan,   inf,     -inf,  0.0f,   -0.0f, 1e-40f,
                                    -3e-45f, 1e-20f, -2e-20f, 3e38f, -2e38f, 1e19f};
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    std::uniform_int_distribution<unsigned> pick(0, rarity == 0 ? 0 : rarity - 1);
    std::uniform_int_distribution<size_t> which(0, std::size(special) - 1);
    std::vector<float> v(n);
    for (float& x : v) x = (rarity != 0 && pick(rng) == 0) ? special[which(rng)] : uniform(rng);
    return v;
}

uint32_t bits(float x) {
    uint32_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// Compares the dispatched kernel with the reference on `count` outputs.
void expectKernelMatches(size_t ntaps, size_t count, std::mt19937& rng, unsigned rarity) {
    const std::vector<float> taps_re = values(ntaps, rng, rarity);
    const std::vector<float> taps_im = values(ntaps, rng, rarity);
    const std::vector<float> x_re = values(ntaps - 1 + count, rng, rarity);
    const std::vector<float> x_im = values(ntaps - 1 + count, rng, rarity);
    const FirTaps taps{taps_re.data(), taps_im.data(), ntaps};
    std::vector<float> expected(2 * count), got(2 * count);
    firBlockScalar(taps, x_re.data() + ntaps - 1, x_im.data() + ntaps - 1, expected.data(), count);
    firBlock(taps, x_re.data() + ntaps - 1, x_im.data() + ntaps - 1, got.data(), count);
    for (size_t i = 0; i < 2 * count; ++i)
        ASSERT_EQ(bits(got[i]), bits(expected[i]))
            << "output " << i / 2 << (i % 2 ? " imag" : " real") << ", " << ntaps
            << " taps, specials 1 in " << rarity << ": " << got[i] << " vs " << expected[i];
}

class SimdFir : public SimdLevels {};

TEST_P(SimdFir, EveryTapCountMatchesTheReference) {
    std::mt19937 rng(1234);
    std::vector<size_t> counts;
    for (size_t n = 1; n <= 70; ++n) counts.push_back(n);
    counts.push_back(256);
    counts.push_back(1024);
    // 333 outputs reach the four-vector loop, the one-vector loop and the scalar tail.
    for (const size_t n : counts) {
        for (const unsigned rarity : {0u, 40u * static_cast<unsigned>(n), 7u}) {
            expectKernelMatches(n, 333, rng, rarity);
            if (HasFatalFailure()) return;
        }
    }
}

// Products whose two parts both come out NaN stand for infinities: such outputs are the ones
// that the vector lanes cannot get right by themselves.
TEST_P(SimdFir, InfinitiesRecoveredFromNaNProducts) {
    const size_t ntaps = 3, count = 64;
    std::vector<float> taps_re = {0.5f, inf, 3e38f}, taps_im = {0.25f, nan, 3e38f};
    std::vector<float> x_re(ntaps - 1 + count, 1.0f), x_im(ntaps - 1 + count, 1.0f);
    const FirTaps taps{taps_re.data(), taps_im.data(), ntaps};
    // (inf + NaN i) * (1 + i) is a NaN pair in plain arithmetic and an infinity in Annex G;
    // 3e38 (1 + i) * 3e38 (1 - i) overflows, its imaginary part into inf - inf.
    x_re[20] = 3e38f;
    x_im[20] = -3e38f;
    std::vector<float> got(2 * count);
    firBlock(taps, x_re.data() + ntaps - 1, x_im.data() + ntaps - 1, got.data(), count);
    for (size_t i = 0; i < count; ++i) {
        const std::complex<float> y =
            firOutput(taps, x_re.data() + ntaps - 1 + i, x_im.data() + ntaps - 1 + i);
        EXPECT_FALSE(std::isnan(got[2 * i]) && std::isnan(got[2 * i + 1])) << "output " << i;
        EXPECT_EQ(bits(got[2 * i]), bits(y.real())) << "output " << i;
        EXPECT_EQ(bits(got[2 * i + 1]), bits(y.imag())) << "output " << i;
    }
}

INSTANTIATE_SIMD_LEVELS(SimdFir);

// The filter as the program uses it, against the textbook ring buffer, over calls of every
// size so that the history is moved to the front of its buffer many times.
TEST(FirFilterHistory, MatchesARingBufferAcrossCallsOfAnySize) {
    std::mt19937 rng(99);
    for (const size_t ntaps : {1, 7, 64, 1024}) {
        std::vector<std::complex<float>> taps(ntaps);
        const std::vector<float> parts = values(2 * ntaps, rng, 0);
        for (size_t k = 0; k < ntaps; ++k) taps[k] = {parts[2 * k], parts[2 * k + 1]};
        FIRFilter fir;
        fir.init(taps);
        std::vector<std::complex<float>> ring(ntaps);
        size_t write = 0;
        std::uniform_int_distribution<size_t> size(0, 700);
        size_t done = 0;
        while (done < 5000) {
            size_t n = size(rng);
            if (n < 50) n = 1;  // now and then the one-sample call
            const std::vector<float> x = values(2 * n, rng, 0);
            std::vector<std::complex<float>> block(n), expected(n);
            for (size_t i = 0; i < n; ++i) {
                block[i] = {x[2 * i], x[2 * i + 1]};
                ring[write] = block[i];
                float re = 0.0f, im = 0.0f;
                for (size_t k = 0, j = write; k < ntaps; ++k, j = (j == 0 ? ntaps - 1 : j - 1)) {
                    const std::complex<float> p = multiplyComplex(taps[k], ring[j]);
                    re += p.real();
                    im += p.imag();
                }
                expected[i] = {re, im};
                write = (write + 1) % ntaps;
            }
            if (n == 1)
                block[0] = fir.process(block[0]);
            else
                fir.process(block.data(), n);
            for (size_t i = 0; i < n; ++i) {
                ASSERT_EQ(bits(block[i].real()), bits(expected[i].real()))
                    << ntaps << " taps, sample " << done + i << " (call of " << n << ")";
                ASSERT_EQ(bits(block[i].imag()), bits(expected[i].imag()))
                    << ntaps << " taps, sample " << done + i << " (call of " << n << ")";
            }
            done += n;
        }
    }
}

}  // namespace
