// The FIR filter's inner kernel on planar (separate real and imaginary) history.
//
// Sample i of a block is x_re[i] + j*x_im[i]; the ntaps - 1 samples before the block sit at
// negative indices, so no output ever wraps. Output i is the sum over k = 0 .. ntaps-1 of
// taps[k] * x[i - k], summed in ascending k from +0, each product the full complex product of
// multiplyComplex, written interleaved (real, imaginary) to out[2i], out[2i + 1].
#pragma once

#include <complex>
#include <cstddef>

struct FirTaps {
    const float* re;
    const float* im;
    size_t count;
};

// One output, the reference arithmetic: x_re and x_im point at the newest sample.
std::complex<float> firOutput(const FirTaps& taps, const float* x_re, const float* x_im);

// `count` outputs one after the other with firOutput.
void firBlockScalar(const FirTaps& taps, const float* x_re, const float* x_im, float* out,
                    size_t count);

// The same outputs, bit for bit, computed several at a time with the widest SIMD level that
// the CPU has.
void firBlock(const FirTaps& taps, const float* x_re, const float* x_im, float* out, size_t count);
