// The FIR kernel: the reference loop, and a SIMD version compiled for every target that
// Highway knows and picked at run time.
#include "signal/fir_kernel.h"

#include <cmath>

#ifndef IQENV_FIR_KERNEL_ONCE  // this file is compiled once per SIMD target
#define IQENV_FIR_KERNEL_ONCE
namespace {
// Index of sample i - k, which lies before the block for k > i.
inline ptrdiff_t offset(size_t i, size_t k) {
    return static_cast<ptrdiff_t>(i) - static_cast<ptrdiff_t>(k);
}
}  // namespace
#endif

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "signal/fir_kernel.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "signal/complex_mul.h"

HWY_BEFORE_NAMESPACE();
namespace iqenv {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Each lane is one output and takes its taps in ascending k, with the products and sums of
// multiplyComplex as separate operations (a fused multiply-add would round differently).
template <class D, class V>
HWY_INLINE void accumulate(D d, V a, V b, const float* HWY_RESTRICT re,
                           const float* HWY_RESTRICT im, V& sum_re, V& sum_im) {
    const V c = hn::LoadU(d, re);
    const V e = hn::LoadU(d, im);
    sum_re = hn::Add(sum_re, hn::Sub(hn::Mul(a, c), hn::Mul(b, e)));
    sum_im = hn::Add(sum_im, hn::Add(hn::Mul(a, e), hn::Mul(b, c)));
}

// Stores one vector of outputs. A product whose parts both came out NaN may stand for an
// infinity that the exact product recovers, and any such product leaves its sum NaN: those
// lanes, and only those, are computed again the reference way. All other lanes did exactly
// the reference arithmetic already.
template <class D, class V>
HWY_INLINE void finish(D d, V sum_re, V sum_im, const FirTaps& taps, const float* x_re,
                       const float* x_im, float* HWY_RESTRICT out) {
    hn::StoreInterleaved2(sum_re, sum_im, d, out);
    if (HWY_LIKELY(hn::AllFalse(d, hn::Or(hn::IsNaN(sum_re), hn::IsNaN(sum_im))))) return;
    for (size_t j = 0; j < hn::Lanes(d); ++j) {
        if (!std::isnan(out[2 * j]) && !std::isnan(out[2 * j + 1])) continue;
        const std::complex<float> y = firOutput(taps, x_re + j, x_im + j);
        out[2 * j] = y.real();
        out[2 * j + 1] = y.imag();
    }
}

template <class D>
void firBlockWith(D d, const FirTaps& taps, const float* x_re, const float* x_im, float* out,
                  size_t count) {
    const size_t lanes = hn::Lanes(d);
    size_t i = 0;
    // Four vectors of outputs at once share the tap broadcasts and hide the latency of the
    // additions, which otherwise chain from one tap to the next.
    for (; i + 4 * lanes <= count; i += 4 * lanes) {
        auto re0 = hn::Zero(d), im0 = hn::Zero(d), re1 = hn::Zero(d), im1 = hn::Zero(d);
        auto re2 = hn::Zero(d), im2 = hn::Zero(d), re3 = hn::Zero(d), im3 = hn::Zero(d);
        for (size_t k = 0; k < taps.count; ++k) {
            const float* pr = x_re + offset(i, k);
            const float* pi = x_im + offset(i, k);
            const auto a = hn::Set(d, taps.re[k]);
            const auto b = hn::Set(d, taps.im[k]);
            accumulate(d, a, b, pr, pi, re0, im0);
            accumulate(d, a, b, pr + lanes, pi + lanes, re1, im1);
            accumulate(d, a, b, pr + 2 * lanes, pi + 2 * lanes, re2, im2);
            accumulate(d, a, b, pr + 3 * lanes, pi + 3 * lanes, re3, im3);
        }
        finish(d, re0, im0, taps, x_re + i, x_im + i, out + 2 * i);
        finish(d, re1, im1, taps, x_re + i + lanes, x_im + i + lanes, out + 2 * (i + lanes));
        finish(d, re2, im2, taps, x_re + i + 2 * lanes, x_im + i + 2 * lanes,
               out + 2 * (i + 2 * lanes));
        finish(d, re3, im3, taps, x_re + i + 3 * lanes, x_im + i + 3 * lanes,
               out + 2 * (i + 3 * lanes));
    }
    for (; i + lanes <= count; i += lanes) {
        auto re = hn::Zero(d), im = hn::Zero(d);
        for (size_t k = 0; k < taps.count; ++k)
            accumulate(d, hn::Set(d, taps.re[k]), hn::Set(d, taps.im[k]), x_re + offset(i, k),
                       x_im + offset(i, k), re, im);
        finish(d, re, im, taps, x_re + i, x_im + i, out + 2 * i);
    }
    if (i < count) firBlockScalar(taps, x_re + i, x_im + i, out + 2 * i, count - i);
}

// Vectors wider than 256 bits lower the clock of the whole core on some CPUs (and so slow
// the resampler too); measured on one that does, they pay off only for long filters.
constexpr size_t wide_vectors_from = 512;  // taps

void FirBlock(const FirTaps& taps, const float* x_re, const float* x_im, float* out, size_t count) {
    const hn::ScalableTag<float> full;
    const hn::CappedTag<float, 8> capped;
    if (hn::Lanes(full) > hn::Lanes(capped) && taps.count < wide_vectors_from)
        firBlockWith(capped, taps, x_re, x_im, out, count);
    else
        firBlockWith(full, taps, x_re, x_im, out, count);
}

}  // namespace HWY_NAMESPACE
}  // namespace iqenv
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace iqenv {
HWY_EXPORT(FirBlock);
}  // namespace iqenv

std::complex<float> firOutput(const FirTaps& taps, const float* x_re, const float* x_im) {
    float re = 0.0f, im = 0.0f;
    for (size_t k = 0; k < taps.count; ++k) {
        const std::complex<float> p =
            multiplyComplex({taps.re[k], taps.im[k]}, {x_re[offset(0, k)], x_im[offset(0, k)]});
        re += p.real();
        im += p.imag();
    }
    return {re, im};
}

void firBlockScalar(const FirTaps& taps, const float* x_re, const float* x_im, float* out,
                    size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const std::complex<float> y = firOutput(taps, x_re + i, x_im + i);
        out[2 * i] = y.real();
        out[2 * i + 1] = y.imag();
    }
}

void firBlock(const FirTaps& taps, const float* x_re, const float* x_im, float* out, size_t count) {
    using namespace iqenv;  // the per-target code and its table
    HWY_DYNAMIC_DISPATCH(FirBlock)(taps, x_re, x_im, out, count);
}
#endif  // HWY_ONCE
