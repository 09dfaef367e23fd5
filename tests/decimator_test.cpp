// The decimator: its SIMD kernel against the reference arithmetic on every SIMD level, its
// history across calls, and what the designed stages do to the spectrum.
#include "signal/decimator.h"

#include <gtest/gtest.h>
#include <hwy/tests/hwy_gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "reference.h"
#include "signal/halfband_kernel.h"

namespace {

using ref::cf;

uint32_t bits(float x) {
    uint32_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// Interleaved parts of ref::values.
std::vector<float> parts(size_t n, std::mt19937& rng, unsigned rarity) {
    const std::vector<cf> v = ref::values((n + 1) / 2, rng, rarity);
    const float* p = reinterpret_cast<const float*>(v.data());
    return std::vector<float>(p, p + n);
}

class HalfBandEveryLevel : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(HalfBandEveryLevel);

// Every length of the vector loops' tails, with any weights, and inputs with specials. Bits
// compared as they are: NaNs come out as one NaN.
TEST_P(HalfBandEveryLevel, MatchesTheReferenceBitForBit) {
    std::mt19937 rng(5);
    for (size_t pairs = 1; pairs <= 9; ++pairs) {
        const std::vector<float> weights = parts(pairs, rng, 0);
        const HalfBand filter{weights.data(), pairs};
        for (size_t count = 0; count <= 40; ++count) {
            for (const unsigned rarity : {0u, 5u}) {
                const std::vector<float> even = parts(2 * (count + 2 * pairs), rng, rarity);
                const std::vector<float> odd = parts(2 * count, rng, rarity);
                std::vector<float> expected(2 * count), got(2 * count);
                halfBandBlockScalar(filter, even.data(), odd.data(), expected.data(), count);
                halfBandBlock(filter, even.data(), odd.data(), got.data(), count);
                for (size_t i = 0; i < 2 * count; ++i)
                    ASSERT_EQ(bits(got[i]), bits(expected[i]))
                        << pairs << " pairs, " << count << " outputs, part " << i;
            }
        }
    }
}

// One stage over a whole stream, written as the textbook filter: zeros before the stream,
// the output centred on every second sample, the pairs summed from the outside in.
std::vector<cf> halveWhole(const HalfBand& f, const std::vector<cf>& x) {
    const size_t m = f.pairs, lead = 4 * m - 2;
    std::vector<cf> v(lead, 0.0f);
    v.insert(v.end(), x.begin(), x.end());
    std::vector<cf> y;
    for (size_t c = 2 * m - 1; c + 2 * m - 1 < v.size(); c += 2) {
        float part[2];
        for (int p = 0; p < 2; ++p) {
            auto at = [&](size_t i) { return p == 0 ? v[i].real() : v[i].imag(); };
            float s = f.weights[m - 1] * (at(c - (2 * m - 1)) + at(c + 2 * m - 1));
            for (size_t k = m - 1; k-- > 0;)
                s = s + f.weights[k] * (at(c - (2 * k + 1)) + at(c + 2 * k + 1));
            part[p] = s + 0.5f * at(c);
        }
        y.emplace_back(part[0], part[1]);
    }
    return y;
}

TEST(Decimator, HistoryCarriesAcrossCallsOfAnySize) {
    std::mt19937 rng(17);
    for (const uint32_t rate : {6144001u, 20000000u, 61440000u}) {
        const uint32_t factor = decimationFactor(rate);
        const std::vector<cf> x = ref::values(60000, rng, 0);
        std::vector<cf> expected = x;
        for (const HalfBand& f : decimationStages(rate, factor)) expected = halveWhole(f, expected);

        Decimator decimator;
        decimator.init(rate, factor);
        std::vector<cf> got(x.size() / factor + 1);
        std::uniform_int_distribution<size_t> size(0, 1500);
        size_t done = 0, produced = 0;
        while (done < x.size()) {
            size_t n = std::min(size(rng), x.size() - done);
            if (n > 1000) n = n % 3;  // now and then no sample, one or two
            produced += decimator.process(x.data() + done, n, got.data() + produced);
            done += n;
        }
        ASSERT_EQ(produced, expected.size()) << rate;
        for (size_t i = 0; i < produced; ++i) {
            ASSERT_EQ(bits(got[i].real()), bits(expected[i].real())) << rate << ", output " << i;
            ASSERT_EQ(bits(got[i].imag()), bits(expected[i].imag())) << rate << ", output " << i;
        }
    }
}

// Gain of the cascade at an input frequency, in double: each stage is symmetric about its
// centre, so its response is real, 1/2 + 2 sum w[k] cos(2 pi f (2k + 1) / rate).
double cascadeGain(const std::vector<HalfBand>& stages, double rate, double f) {
    double gain = 1.0;
    for (const HalfBand& s : stages) {
        double a = 0.5;
        for (size_t k = 0; k < s.pairs; ++k)
            a += 2.0 * s.weights[k] * std::cos(2.0 * M_PI * f * double(2 * k + 1) / rate);
        gain *= a;
        rate /= 2;
    }
    return std::abs(gain);
}

// For rates across the whole range: the factor brings the rate to what the resampler should
// get, every input frequency that the decimation folds onto +-12.5 kHz is 100 dB down, and
// +-10 kHz is flat within 0.1 dB.
TEST(Decimator, StagesRejectWhatFoldsOntoTheKeptBand) {
    std::mt19937 rng(3);
    std::vector<uint32_t> rates = {6144001, 8000000, 10000000, 20000000, 61440000, 4294967295u};
    std::uniform_int_distribution<uint32_t> any(6144001, 4294967295u);
    for (int i = 0; i < 12; ++i) rates.push_back(any(rng));
    for (const uint32_t rate : rates) {
        const uint32_t factor = decimationFactor(rate);
        const double out = double(rate) / factor;
        EXPECT_GE(out, min_decimated_rate) << rate;
        if (factor < max_decimation) {
            EXPECT_LT(out, 2 * min_decimated_rate) << rate;
        }
        const std::vector<HalfBand> stages = decimationStages(rate, factor);
        ASSERT_EQ(size_t{1} << stages.size(), factor) << rate;
        double worst = 0.0, flat_lo = 1.0, flat_hi = 1.0;
        for (double d = -protected_band; d <= protected_band; d += protected_band / 5) {
            for (uint32_t n = 1; n * out - protected_band <= rate / 2.0; ++n)
                worst = std::max(worst, cascadeGain(stages, rate, n * out + d));
            if (std::abs(d) <= 10000) {
                const double g = cascadeGain(stages, rate, d);
                flat_lo = std::min(flat_lo, g);
                flat_hi = std::max(flat_hi, g);
            }
        }
        EXPECT_LE(20 * std::log10(worst), -100.0) << rate << " Hz, factor " << factor;
        EXPECT_LE(20 * std::log10(flat_hi / flat_lo), 0.1) << rate << " Hz";
    }
}

}  // namespace
