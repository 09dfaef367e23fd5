// The amplitude envelope: magnitude less the running mean of all magnitudes, times 10000.
#pragma once

#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>

// |re + i*im| rounded to float, computed in double: the same value as the C library's
// single-precision complex magnitude for finite input, on every target.
inline float magnitude(float re, float im) {
    const double r = re, i = im;
    return static_cast<float>(std::sqrt(r * r + i * i));
}

// Mean of every value added so far. The sum is a compensated (Neumaier) double sum, so it
// neither stops growing nor drifts over runs of any length: the mean stays within one float
// ulp of the true mean.
class RunningMean {
  public:
    void add(float value) {
        const double v = value;
        const double t = sum_ + v;
        // The low part lost by the addition, recovered exactly.
        compensation_ += (std::abs(sum_) >= std::abs(v)) ? (sum_ - t) + v : (v - t) + sum_;
        sum_ = t;
        ++count_;
    }
    float mean() const {
        return static_cast<float>((sum_ + compensation_) / static_cast<double>(count_));
    }
    uint64_t count() const { return count_; }

  private:
    double sum_ = 0.0;
    double compensation_ = 0.0;
    uint64_t count_ = 0;
};

constexpr float output_gain = 10000.0f;

class EnvelopeDetector {
  public:
    // The envelope value of one frame. A frame whose magnitude is not finite gives 0 and is
    // left out of the mean, so a burst of bad input does not poison the rest of the run.
    float next(float re, float im) {
        const float m = magnitude(re, im);
        if (!std::isfinite(m)) return 0.0f;
        mean_.add(m);
        return (m - mean_.mean()) * output_gain;
    }

    // Turns `count` interleaved (re, im) frames into envelope values.
    void process(const float* frames, float* values, size_t count) {
        for (size_t i = 0; i < count; ++i) values[i] = next(frames[2 * i], frames[2 * i + 1]);
    }

    const RunningMean& mean() const { return mean_; }

  private:
    RunningMean mean_;
};
