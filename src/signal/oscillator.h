// The cosine factors cos(2*pi*n*frequency/samplerate), n = 0, 1, 2, ... for ever.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "cosine.h"

// Longest period of the phase kept as a table of factors (256 KiB).
constexpr uint64_t max_cosine_table_period = uint64_t{1} << 16;

// Phase accumulator. The phase of sample n is n * frequency / samplerate cycles, reduced
// modulo one cycle exactly: the whole part of the per-sample step is an integer numerator
// kept modulo the sample rate, the fractional part a 64-bit binary fraction of it. Every
// float frequency above about 2^-40 Hz has no more fractional bits than that, so the phase
// is exact for ever; smaller ones lose at most 2^-65 of a sample period per sample.
class PhaseAccumulator {
  public:
    PhaseAccumulator() = default;
    // frequency must be finite and samplerate nonzero; the sign of frequency is dropped,
    // the cosine being even.
    PhaseAccumulator(float frequency, uint32_t samplerate);

    // The phases, in cycles within [0, 1], of the next `count` samples.
    void next(double* cycles, size_t count);

    // Jumps to sample n, as if next() had been called for n samples from the start.
    void seek(uint64_t n);

    // When the step is a whole number of 1/samplerate cycles, the phase only ever takes the
    // values m / period() cycles, m = 0 .. period() - 1: returns that period, otherwise 0.
    uint64_t period() const;

  private:
    friend class CosineOscillator;

    // The phase in cycles of the state (whole, fraction).
    double cyclesOf(uint64_t whole, uint64_t fraction) const {
        return (static_cast<double>(whole) + static_cast<double>(fraction) * 0x1p-64) /
               static_cast<double>(samplerate_);
    }

    uint64_t whole_step_ = 0;     // integer part of the step, in units of 1/samplerate cycle
    uint64_t fraction_step_ = 0;  // fractional part of that unit, times 2^64
    uint64_t whole_ = 0;          // current phase numerator, below samplerate
    uint64_t fraction_ = 0;
    uint64_t samplerate_ = 1;
};

// Produces the cosine factors for consecutive samples.
class CosineOscillator {
  public:
    CosineOscillator() = default;
    CosineOscillator(float frequency, uint32_t samplerate);

    // Writes the factors of the next `count` samples.
    void next(float* factors, size_t count);

    PhaseAccumulator& phase() { return phase_; }

  private:
    static constexpr size_t chunk = 256;
    PhaseAccumulator phase_;
    double cycles_[chunk] = {};
    // For a phase with a short period (any whole number of hertz that divides the sample
    // rate finely enough), the factor of each of its values, computed once: table_[m] for
    // the phase m / period. Empty otherwise.
    std::vector<float> table_;
    uint64_t table_unit_ = 1;  // phase numerator per table entry
};
