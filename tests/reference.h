// What the tests and the fuzz targets hold the code to, written independently of it, and the
// helpers they share.
#pragma once

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "config.h"
#include "signal/complex_mul.h"
#include "signal/fir_filter.h"

namespace ref {

using cf = std::complex<float>;
using u128 = unsigned __int128;

// The same bits, except that any NaN matches any NaN: payloads are not part of a result.
inline bool same(float a, float b) {
    return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}
inline bool same(cf a, cf b) {
    return same(a.real(), b.real()) && same(a.imag(), b.imag());
}

// Random values in [-1, 1], with one in `rarity` replaced by one that breaks arithmetic: NaN,
// infinities, zeros of both signs, subnormals, and magnitudes whose products overflow or
// underflow.
inline std::vector<cf> values(size_t n, std::mt19937& rng, unsigned rarity) {
    constexpr float inf = std::numeric_limits<float>::infinity();
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    static const float special[] = {nan,     -nan,   inf,     -inf,  0.0f,   -0.0f, 1e-40f,
                                    -3e-45f, 1e-20f, -2e-20f, 3e38f, -2e38f, 1e19f};
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    std::uniform_int_distribution<size_t> which(0, std::size(special) - 1);
    const auto part = [&] {
        return (rarity != 0 && rng() % rarity == 0) ? special[which(rng)] : uniform(rng);
    };
    std::vector<cf> v(n);
    for (cf& z : v) z = {part(), part()};  // in this order
    return v;
}

// y[n] = sum over k of taps[k] * x[n - k] in ascending k from +0, each product the full
// complex product, and zeros before x[0] (which an infinite tap turns into NaN).
inline cf firOutput(const std::vector<cf>& taps, const std::vector<cf>& x, size_t n) {
    float re = 0.0f, im = 0.0f;
    for (size_t k = 0; k < taps.size(); ++k) {
        const cf p = multiplyComplex(taps[k], k <= n ? x[n - k] : cf(0.0f, 0.0f));
        re += p.real();
        im += p.imag();
    }
    return {re, im};
}

// x through a filter with these taps, in calls of 0 to 300 samples cut by `seed`, in place
// or not, after the same filter had other taps and history that init() must forget.
inline std::vector<cf> filterInPieces(const std::vector<cf>& taps, const std::vector<cf>& x,
                                      uint32_t seed) {
    FIRFilter filter;
    filter.init(std::vector<cf>(taps.size() + 3, cf(1.0f, -1.0f)));
    std::vector<cf> y = x;
    filter.process(y.data(), y.data(), std::min<size_t>(y.size(), 7));
    filter.init(taps);
    y = x;
    for (size_t at = 0; at < x.size();) {
        seed = seed * 1103515245u + 12345u;
        const size_t piece = std::min<size_t>((seed >> 16) % 301, x.size() - at);
        filter.process((seed & 2) ? y.data() + at : x.data() + at, y.data() + at, piece);
        at += piece;
    }
    return y;
}

// The factor cos(2 pi n frequency / samplerate) from the phase reduced in integers: the float
// frequency is m * 2^e exactly, so the phase is the fraction n m 2^e / samplerate, exact up to
// n = 2^40 for e >= -64 (above about 2^-40 Hz) and close below that.
struct Factor {
    long double value;
    bool whole_or_half;  // a whole or half cycle, where the factor must be exactly 1 or -1
};

inline Factor trueFactor(float frequency, uint32_t samplerate, uint64_t n) {
    constexpr long double two_pi = 6.283185307179586476925286766559005768L;
    int e = 0;
    const u128 m = static_cast<u128>(std::ldexp(std::frexp(std::fabs(frequency), &e), 24));
    e -= 24;
    u128 numerator, denominator = samplerate;
    if (e >= 0) {
        u128 power = 1;
        for (int i = 0; i < e; ++i) power = power * 2 % samplerate;
        numerator = u128{n} * m % samplerate * power % samplerate;
    } else if (e >= -64) {
        denominator <<= -e;
        numerator = u128{n} * m % denominator;
    } else {
        const long double cycles =
            std::ldexp(static_cast<long double>(u128{n} * m), e) / samplerate;
        return {std::cos(two_pi * (cycles - std::floor(cycles))), false};
    }
    const long double cycles = static_cast<long double>(numerator) / denominator;
    return {std::cos(two_pi * cycles), 2 * numerator % denominator == 0};
}

// Right to 1e-6, and exactly 1 or -1 where the phase is a whole or half cycle.
inline bool rightFactor(float got, const Factor& want) {
    return want.whole_or_half ? got == std::nearbyint(want.value)
                              : std::fabs(got - want.value) <= 1e-6L;
}

// The input rates that iqenv accepts, as documented.
constexpr uint32_t lowest_rate = 94;
constexpr uint32_t highest_rate = 4294967295u;  // any uint32 from 6144001 up decimated

// readConfig's message for a file of these bytes, "" when they hold a whole configuration.
inline std::string readMessage(const std::string& bytes) {
    if (bytes.size() < 4) return "Failed to read 'frequency' (need 4 bytes)";
    if (bytes.size() < 8) return "Failed to read 'samplerate' (need 4 bytes)";
    if (bytes.size() < 12) return "Failed to read the number of taps (need 4 bytes)";
    uint32_t count;
    std::memcpy(&count, &bytes[8], 4);
    const uint64_t present = (bytes.size() - 12) / 8;
    if (present >= count) return "";
    return "Failed to read complex sample[" + std::to_string(present) + "] (file truncated?)";
}

// The message a call gives through std::runtime_error, "" when it returns.
template <typename Call>
std::string messageOf(Call call) {
    try {
        call();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

}  // namespace ref
