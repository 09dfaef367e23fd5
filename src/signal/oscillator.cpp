#include "oscillator.h"

#include <algorithm>
#include <cmath>
#include <numeric>

PhaseAccumulator::PhaseAccumulator(float frequency, uint32_t samplerate) : samplerate_(samplerate) {
    // Both the reduction and the split are exact: fmod is exact, and the fractional part of
    // a float has at most 24 significant bits.
    const double reduced = std::fmod(std::fabs(static_cast<double>(frequency)), samplerate_);
    const double whole = std::floor(reduced);
    whole_step_ = static_cast<uint64_t>(whole);
    fraction_step_ = static_cast<uint64_t>(std::nearbyint(std::ldexp(reduced - whole, 64)));
}

void PhaseAccumulator::next(double* cycles, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        cycles[i] = cyclesOf(whole_, fraction_);
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

uint64_t PhaseAccumulator::period() const {
    if (fraction_step_ != 0 || fraction_ != 0) return 0;
    return samplerate_ / std::gcd(whole_step_, samplerate_);
}

CosineOscillator::CosineOscillator(float frequency, uint32_t samplerate)
    : phase_(frequency, samplerate) {
    const uint64_t period = phase_.period();
    if (period == 0 || period > max_cosine_table_period) return;
    table_unit_ = phase_.samplerate_ / period;
    table_.resize(period);
    for (uint64_t m = 0; m < period; m += chunk) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk, period - m));
        for (size_t i = 0; i < n; ++i) cycles_[i] = phase_.cyclesOf((m + i) * table_unit_, 0);
        cosineOfCycles(cycles_, table_.data() + m, n);
    }
}

void CosineOscillator::next(float* factors, size_t count) {
    // Once in the table, always in it: the numerator stays a multiple of the unit.
    if (!table_.empty() && phase_.fraction_ == 0 && phase_.whole_ % table_unit_ == 0) {
        const uint64_t period = table_.size();
        const uint64_t step = phase_.whole_step_ / table_unit_;
        uint64_t m = phase_.whole_ / table_unit_;
        for (size_t i = 0; i < count; ++i) {
            factors[i] = table_[m];
            m += step;
            if (m >= period) m -= period;
        }
        phase_.whole_ = m * table_unit_;
        return;
    }
    while (count > 0) {
        const size_t n = std::min(count, chunk);
        phase_.next(cycles_, n);
        cosineOfCycles(cycles_, factors, n);
        factors += n;
        count -= n;
    }
}
