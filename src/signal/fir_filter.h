// Direct-form FIR filter over complex samples with complex taps.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "complex_mul.h"

class FIRFilter {
  public:
    // Installs the taps (entry 0 weights the newest input) and clears the history.
    void init(const std::vector<std::complex<float>>& new_taps) {
        taps = new_taps;
        delay_line.assign(taps.size(), std::complex<float>(0.0f, 0.0f));
        if (write_index >= delay_line.size()) write_index = 0;
    }

    // y[n] = sum over k of taps[k] * x[n - k], summed in ascending k.
    std::complex<float> process(const std::complex<float>& x) {
        const uint32_t n = static_cast<uint32_t>(taps.size());
        delay_line[write_index] = x;
        float re = 0.0f, im = 0.0f;
        uint32_t j = write_index;
        for (uint32_t k = 0; k < n; ++k) {
            const std::complex<float> p = multiplyComplex(taps[k], delay_line[j]);
            re += p.real();
            im += p.imag();
            j = (j == 0) ? n - 1 : j - 1;
        }
        write_index = (write_index + 1 == n) ? 0 : write_index + 1;
        return {re, im};
    }

    // Filters a block in place, one sample after the other.
    void process(std::complex<float>* block, size_t count) {
        for (size_t i = 0; i < count; ++i) block[i] = process(block[i]);
    }

    size_t size() const { return taps.size(); }

  private:
    std::vector<std::complex<float>> taps;
    std::vector<std::complex<float>> delay_line;
    uint32_t write_index = 0;
};
