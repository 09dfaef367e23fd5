// Decimation by a power of two ahead of the resampler, for input rates above what it accepts:
// a cascade of half-band stages, each halving the rate.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "halfband_kernel.h"

// What the stages guarantee: after the last one, everything that folds onto
// +-protected_band hertz around 0 is at least 100 dB down, and +-10 kHz stays flat.
constexpr double protected_band = 12500.0;
// The rate the cascade brings the signal down to, at least: four times the resampler's output,
// low enough that the resampler costs little, high enough that the last stage is short.
constexpr double min_decimated_rate = 96000.0;
constexpr uint32_t max_decimation = 1024;  // 6.144 MS/s times this is beyond any uint32 rate

// The largest power of two D, 2 <= D <= max_decimation, with samplerate / D at least
// min_decimated_rate (2 for rates too low for that).
uint32_t decimationFactor(uint32_t samplerate);

// A half-band and the lowest input rate at which it meets the guarantee.
struct HalfBandDesign {
    double min_rate;
    HalfBand filter;
};

// The half-bands the stages choose from, shortest first.
std::vector<HalfBandDesign> halfBandDesigns();

// The half-band each stage uses, from the first (at samplerate) to the last: the shortest one
// that meets the guarantee at the rate that stage receives.
std::vector<HalfBand> decimationStages(uint32_t samplerate, uint32_t factor);

class Decimator {
  public:
    // Sets up the stages for input at `samplerate` and a factor from decimationFactor (2 or
    // more), with zero history. All the memory the decimator needs is allocated here.
    void init(uint32_t samplerate, uint32_t factor);

    // Takes `count` input samples (any number, including 0), writes the outputs they complete
    // to out and returns how many: over a run, one output for every `factor` inputs. The
    // history carries over from call to call.
    size_t process(const std::complex<float>* in, size_t count, std::complex<float>* out);

    uint32_t factor() const { return factor_; }

  private:
    // One half-band stage with its input split by parity.
    class Stage {
      public:
        Stage(const HalfBand& filter, size_t max_input);
        // Takes at most max_input samples; returns the outputs written.
        size_t process(const float* in, size_t count, float* out);

      private:
        HalfBand filter_;
        std::vector<float> even_, odd_;  // interleaved complex, history in front
        size_t even_count_ = 0, odd_count_ = 0;
        bool odd_next_ = false;  // the next input sample goes to odd_
    };

    static constexpr size_t chunk = 256;  // input samples per pass through the stages
    uint32_t factor_ = 1;
    std::vector<Stage> stages_;
    std::vector<float> scratch_[2];
};
