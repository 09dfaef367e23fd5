// Direct-form FIR filter over complex samples with complex taps.
#pragma once

#include <complex>
#include <cstddef>
#include <vector>

#include "complex_mul.h"  // the product every tap uses

class FIRFilter {
  public:
    // Installs the taps (entry 0 weights the newest input) and clears the history. All the
    // memory the filter needs is allocated here.
    void init(const std::vector<std::complex<float>>& new_taps);

    // Filters `count` samples, y[n] = sum over k of taps[k] * x[n - k] summed in ascending k;
    // out may be the same array as in.
    void process(const std::complex<float>* in, std::complex<float>* out, size_t count);

  private:
    std::vector<std::complex<float>> taps;
    // Planar copies of the taps and of the input, the latter with the last taps.size() - 1 inputs
    // in front of the room for new ones, so that a whole stretch is filtered without wrapping.
    std::vector<float> taps_re_, taps_im_;
    std::vector<float> history_re_, history_im_;
    size_t next_ = 0;  // where the next input goes
};

// The filter of this process's run, defined by the program's entry point beside cfg.
extern FIRFilter fir;
