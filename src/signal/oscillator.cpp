#include "oscillator.h"

#include <algorithm>
#include <cmath>

namespace {

// Taylor coefficients of cos(2*pi*a) and sin(2*pi*a)/a in powers of a*a. On |a| <= 1/8
// (|angle| <= pi/4) the first omitted terms are below 1e-14.
constexpr double cos_coef[] = {1.0,
                               -19.739208802178716,
                               64.9393940226683,
                               -85.45681720669373,
                               60.24464137187666,
                               -26.4262567833744,
                               7.903536371318469,
                               -1.714390711088672};
constexpr double sin_coef[] = {6.283185307179586,  -41.34170224039976, 81.60524927607506,
                               -76.70585975306139, 42.058693944897655, -15.09464257682299,
                               3.819952584848282,  -0.7181223017785006};

double horner(const double* coef, double t) {
    double r = coef[7];
    for (int k = 6; k >= 0; --k) r = r * t + coef[k];
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

void cosineOfCycles(const double* cycles, float* factors, size_t count) {
    for (size_t i = 0; i < count; ++i) factors[i] = cosineOfCycles(cycles[i]);
}

PhaseAccumulator::PhaseAccumulator(float frequency, uint32_t samplerate) : samplerate_(samplerate) {
    // Both the reduction and the split are exact: fmod is exact, and the fractional part of
    // a float has at most 24 significant bits.
    const double reduced = std::fmod(std::fabs(static_cast<double>(frequency)), samplerate_);
    const double whole = std::floor(reduced);
    whole_step_ = static_cast<uint64_t>(whole);
    fraction_step_ = static_cast<uint64_t>(std::nearbyint(std::ldexp(reduced - whole, 64)));
}

void PhaseAccumulator::next(double* cycles, size_t count) {
    const double denominator = static_cast<double>(samplerate_);
    for (size_t i = 0; i < count; ++i) {
        cycles[i] =
            (static_cast<double>(whole_) + static_cast<double>(fraction_) * 0x1p-64) / denominator;
        const uint64_t fraction = fraction_ + fraction_step_;
        whole_ += whole_step_ + (fraction < fraction_ ? 1 : 0);
        if (whole_ >= samplerate_) whole_ -= samplerate_;
        fraction_ = fraction;
    }
}

void PhaseAccumulator::seek(uint64_t n) {
    // n * step modulo samplerate, with the carries of the fraction folded into the whole part.
    const unsigned __int128 fraction_total = static_cast<unsigned __int128>(fraction_step_) * n;
    fraction_ = static_cast<uint64_t>(fraction_total);
    const unsigned __int128 carries = fraction_total >> 64;
    const unsigned __int128 whole_total =
        static_cast<unsigned __int128>(whole_step_ % samplerate_) * (n % samplerate_) + carries;
    whole_ = static_cast<uint64_t>(whole_total % samplerate_);
}

void CosineOscillator::next(float* factors, size_t count) {
    while (count > 0) {
        const size_t n = std::min(count, chunk);
        phase_.next(cycles_, n);
        cosineOfCycles(cycles_, factors, n);
        factors += n;
        count -= n;
    }
}
