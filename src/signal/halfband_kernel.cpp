// The half-band kernel: the reference loop, and a SIMD version compiled for every target that
// Highway knows and picked at run time.
#include "signal/halfband_kernel.h"

#include <cmath>
#include <limits>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "signal/halfband_kernel.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace iqenv {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// One vector of consecutive output parts; lane j does the reference steps for part j.
template <class D>
HWY_INLINE hn::Vec<D> halfBandVector(D d, const HalfBand& filter, const float* HWY_RESTRICT e,
                                     const float* HWY_RESTRICT o) {
    const size_t m = filter.pairs;
    auto s = hn::Mul(hn::Set(d, filter.weights[m - 1]),
                     hn::Add(hn::LoadU(d, e), hn::LoadU(d, e + 2 * (2 * m - 1))));
    for (size_t k = m - 1; k-- > 0;) {
        const auto pair = hn::Add(hn::LoadU(d, e + 2 * (m - 1 - k)), hn::LoadU(d, e + 2 * (m + k)));
        s = hn::Add(s, hn::Mul(hn::Set(d, filter.weights[k]), pair));
    }
    s = hn::Add(s, hn::Mul(hn::Set(d, 0.5f), hn::LoadU(d, o)));
    return hn::IfThenElse(hn::IsNaN(s), hn::Set(d, std::numeric_limits<float>::quiet_NaN()), s);
}

void HalfBandBlock(const HalfBand& filter, const float* even, const float* odd, float* out,
                   size_t count) {
    // At most 256 bits: wider vectors can lower the clock of the whole core, which costs the
    // resampler more than these short filters would gain.
    const hn::CappedTag<float, 8> d;
    const size_t lanes = hn::Lanes(d);
    const size_t parts = 2 * count;
    size_t i = 0;
    // Two vectors at once hide some of the latency of the chained additions.
    for (; i + 2 * lanes <= parts; i += 2 * lanes) {
        const auto a = halfBandVector(d, filter, even + i, odd + i);
        const auto b = halfBandVector(d, filter, even + i + lanes, odd + i + lanes);
        hn::StoreU(a, d, out + i);
        hn::StoreU(b, d, out + i + lanes);
    }
    for (; i + lanes <= parts; i += lanes)
        hn::StoreU(halfBandVector(d, filter, even + i, odd + i), d, out + i);
    // A whole number of vectors of parts is an even number: the tail starts on a real part.
    halfBandBlockScalar(filter, even + i, odd + i, out + i, (parts - i) / 2);
}

}  // namespace HWY_NAMESPACE
}  // namespace iqenv
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace iqenv {
HWY_EXPORT(HalfBandBlock);
}  // namespace iqenv

void halfBandBlockScalar(const HalfBand& filter, const float* even, const float* odd, float* out,
                         size_t count) {
    const size_t m = filter.pairs;
    for (size_t i = 0; i < 2 * count; ++i) {
        const float* e = even + i;
        float s = filter.weights[m - 1] * (e[0] + e[2 * (2 * m - 1)]);
        for (size_t k = m - 1; k-- > 0;)
            s = s + filter.weights[k] * (e[2 * (m - 1 - k)] + e[2 * (m + k)]);
        s = s + 0.5f * odd[i];
        out[i] = std::isnan(s) ? std::numeric_limits<float>::quiet_NaN() : s;
    }
}

void halfBandBlock(const HalfBand& filter, const float* even, const float* odd, float* out,
                   size_t count) {
    using namespace iqenv;  // the per-target code and its table
    HWY_DYNAMIC_DISPATCH(HalfBandBlock)(filter, even, odd, out, count);
}
#endif  // HWY_ONCE
