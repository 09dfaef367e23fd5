// The cosine of a phase in cycles: one polynomial evaluation, written once for scalars and
// once for vectors with the same operations in the same order.
#include "signal/cosine.h"

#include <cmath>

#ifndef IQENV_COSINE_ONCE  // this file is compiled once per SIMD target
#define IQENV_COSINE_ONCE
namespace {
// Taylor coefficients of cos(2*pi*a) and sin(2*pi*a)/a in powers of a*a. On |a| <= 1/8
// (|angle| <= pi/4) the first omitted terms are below 1e-14.
constexpr int degree = 7;
constexpr double cos_coef[degree + 1] = {1.0,
                                         -19.739208802178716,
                                         64.9393940226683,
                                         -85.45681720669373,
                                         60.24464137187666,
                                         -26.4262567833744,
                                         7.903536371318469,
                                         -1.714390711088672};
constexpr double sin_coef[degree + 1] = {6.283185307179586,  -41.34170224039976, 81.60524927607506,
                                         -76.70585975306139, 42.058693944897655, -15.09464257682299,
                                         3.819952584848282,  -0.7181223017785006};
}  // namespace
#endif

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "signal/cosine.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace iqenv {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

template <class D, class V>
HWY_INLINE V horner(D d, const double* coef, V t) {
    V r = hn::Set(d, coef[degree]);
    for (int k = degree - 1; k >= 0; --k) r = hn::Add(hn::Mul(r, t), hn::Set(d, coef[k]));
    return r;
}

// The steps of the scalar cosineOfCycles, lane by lane, both branches evaluated.
template <class D, class V>
HWY_INLINE V cosine(D d, V x) {
    // Nearest whole cycle: adding and removing 2^52 rounds to nearest even, exactly, as
    // nearbyint does; larger magnitudes are whole already.
    const V big = hn::Set(d, 0x1p52);
    const V abs_x = hn::Abs(x);
    const V rounded = hn::Sub(hn::Add(abs_x, big), big);
    const V nearest = hn::IfThenElse(hn::Lt(abs_x, big), hn::CopySignToAbs(rounded, x), x);
    V a = hn::Abs(hn::Sub(x, nearest));
    const auto negate = hn::Gt(a, hn::Set(d, 0.25));
    a = hn::IfThenElse(negate, hn::Sub(hn::Set(d, 0.5), a), a);
    const V near_zero = horner(d, cos_coef, hn::Mul(a, a));
    const V b = hn::Sub(hn::Set(d, 0.25), a);
    const V near_quarter = hn::Mul(horner(d, sin_coef, hn::Mul(b, b)), b);
    const V r = hn::IfThenElse(hn::Le(a, hn::Set(d, 0.125)), near_zero, near_quarter);
    return hn::IfThenElse(negate, hn::Neg(r), r);
}

void CosineOfCycles(const double* cycles, float* factors, size_t count) {
    size_t i = 0;
#if HWY_HAVE_FLOAT64
    // At most 256 bits: wider vectors can lower the clock of the whole core, which costs the
    // rest of the program more than this short loop would gain.
    const hn::CappedTag<double, 4> d;
    const hn::Rebind<float, decltype(d)> df;
    const size_t lanes = hn::Lanes(d);
    for (; i + lanes <= count; i += lanes)
        hn::StoreU(hn::DemoteTo(df, cosine(d, hn::LoadU(d, cycles + i))), df, factors + i);
#endif
    cosineOfCyclesScalar(cycles + i, factors + i, count - i);
}

}  // namespace HWY_NAMESPACE
}  // namespace iqenv
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace iqenv {
HWY_EXPORT(CosineOfCycles);
}  // namespace iqenv

namespace {
double horner(const double* coef, double t) {
    double r = coef[degree];
    for (int k = degree - 1; k >= 0; --k) r = r * t + coef[k];
    return r;
}
}  // namespace

float cosineOfCycles(double x) {
    // Fold onto a in [0, 1/4] with the sign of the result; each step is exact.
    const double y = x - std::nearbyint(x);  // [-1/2, 1/2]
    double a = std::fabs(y);
    const bool negate = a > 0.25;
    if (negate) a = 0.5 - a;
    double r;
    if (a <= 0.125) {
        r = horner(cos_coef, a * a);
    } else {
        const double b = 0.25 - a;  // cos(2*pi*a) = sin(2*pi*(1/4 - a))
        r = horner(sin_coef, b * b) * b;
    }
    return static_cast<float>(negate ? -r : r);
}

void cosineOfCyclesScalar(const double* cycles, float* factors, size_t count) {
    for (size_t i = 0; i < count; ++i) factors[i] = cosineOfCycles(cycles[i]);
}

void cosineOfCycles(const double* cycles, float* factors, size_t count) {
    using namespace iqenv;  // the per-target code and its table
    HWY_DYNAMIC_DISPATCH(CosineOfCycles)(cycles, factors, count);
}
#endif  // HWY_ONCE
