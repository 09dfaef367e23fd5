// The cosine factors against cos(2*pi*n*frequency/samplerate) computed from the exact phase,
// for any finite frequency, any sample rate, any start below 2^40 and any way of cutting the
// samples into calls: within 1e-6 everywhere, exactly 1 at whole cycles and exactly -1 at half
// cycles, and the same bits whether the oscillator stepped or jumped there, at every SIMD
// level.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "hwy/targets.h"
#include "signal/oscillator.h"
#include "simd_levels.h"

namespace {

using u128 = unsigned __int128;

constexpr size_t max_count = 4096;
constexpr uint64_t max_start = (uint64_t{1} << 40) - max_count;
constexpr size_t max_stepped_start = 4096;

// The phase n * |frequency| / samplerate modulo one cycle, as numerator / denominator, exact
// whenever both fit in 128 bits; else (only for frequencies below 2^-64 Hz) a close value.
struct Phase {
    u128 numerator;
    u128 denominator;
    long double approximate;  // when the fraction does not fit
    bool exact;
};

Phase exactPhase(float frequency, uint32_t samplerate, uint64_t n) {
    int exponent = 0;
    const float mantissa = std::frexp(std::fabs(frequency), &exponent);
    const u128 m = static_cast<u128>(std::ldexp(mantissa, 24));  // |frequency| = m * 2^e
    const int e = exponent - 24;
    if (e >= 0) {
        u128 power = 1;
        for (int i = 0; i < e; ++i) power = power * 2 % samplerate;
        return {(u128{n} * m % samplerate) * power % samplerate, samplerate, 0.0L, true};
    }
    if (-e <= 64) {
        const u128 d = u128{samplerate} << -e;
        return {u128{n} * m % d, d, 0.0L, true};
    }
    const long double cycles = std::ldexp(static_cast<long double>(u128{n} * m) / samplerate, e);
    return {0, 1, cycles - std::floor(cycles), false};
}

double referenceCosine(const Phase& p) {
    constexpr long double two_pi = 6.283185307179586476925286766559005768L;
    const long double x =
        p.exact ? static_cast<long double>(p.numerator) / static_cast<long double>(p.denominator)
                : p.approximate;
    return static_cast<double>(std::cos(two_pi * x));
}

template <typename T>
T take(const uint8_t*& data) {
    T value;
    std::memcpy(&value, data, sizeof value);
    data += sizeof value;
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size != 4 + 4 + 8 + 2 + 1) return -1;
    const float frequency = take<float>(data);
    const uint32_t samplerate = take<uint32_t>(data);
    const uint64_t start = take<uint64_t>(data) % (max_start + 1);
    const size_t count = take<uint16_t>(data) % (max_count + 1);
    const uint32_t seed = *data;
    if (!std::isfinite(frequency) || samplerate == 0) return -1;

    // The factors from each SIMD level, which must agree to the bit; the first is checked.
    std::vector<float> factors;
    forEachSimdLevel([&](int64_t level) {
        CosineOscillator jumped(frequency, samplerate);
        jumped.phase().seek(start);
        std::vector<float> these(count);
        uint32_t cuts = seed;
        for (size_t at = 0; at < count;) {
            cuts = cuts * 1103515245u + 12345u;
            const size_t piece = std::min<size_t>((cuts >> 16) % 700, count - at);
            jumped.next(these.data() + at, piece);
            at += piece;
        }
        if (factors.empty()) factors = these;
        FUZZ_CHECK(count == 0 || std::memcmp(these.data(), factors.data(), 4 * count) == 0,
                   "%s gives other factors than the first level", hwy::TargetName(level));
    });

    for (size_t i = 0; i < count; ++i) {
        const uint64_t n = start + i;
        const Phase p = exactPhase(frequency, samplerate, n);
        const float f = factors[i];
        if (p.exact && p.numerator == 0) {
            FUZZ_CHECK(f == 1.0f, "n=%llu: %a at a whole cycle", static_cast<unsigned long long>(n),
                       f);
        } else if (p.exact && 2 * p.numerator == p.denominator) {
            FUZZ_CHECK(f == -1.0f, "n=%llu: %a at a half cycle", static_cast<unsigned long long>(n),
                       f);
        } else {
            const double want = referenceCosine(p);
            FUZZ_CHECK(std::fabs(f - want) <= 1e-6, "n=%llu f=%a sr=%u: %.9g, want %.9g",
                       static_cast<unsigned long long>(n), frequency, samplerate, f, want);
        }
    }

    if (start <= max_stepped_start) {
        CosineOscillator stepped(frequency, samplerate);
        std::vector<float> skipped(start + count);
        stepped.next(skipped.data(), skipped.size());
        FUZZ_CHECK(
            count == 0 || std::memcmp(skipped.data() + start, factors.data(), 4 * count) == 0,
            "stepping and jumping to %llu disagree", static_cast<unsigned long long>(start));
    }
    return 0;
}
