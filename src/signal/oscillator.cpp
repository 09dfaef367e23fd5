#include "oscillator.h"

#include <algorithm>
#include <cmath>

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
