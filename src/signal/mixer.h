// Real scaling of complex samples by per-sample factors.
#pragma once

#include <complex>
#include <cstddef>

// Multiplies both parts of every sample by its factor.
inline void scaleBlock(std::complex<float>* block, const float* factors, size_t count) {
    for (size_t i = 0; i < count; ++i)
        block[i] = {block[i].real() * factors[i], block[i].imag() * factors[i]};
}
