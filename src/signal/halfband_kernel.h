// The kernel of one decimating half-band stage, on complex samples split by parity.
//
// A half-band low-pass of 4M - 1 taps has the weight 1/2 at its centre, zero at every other
// odd distance from it, and equal weights on each pair of samples 2k + 1 before and after it.
// Halving the rate keeps every second output, so each output needs the 2M input samples of
// one parity (the "even" ones, paired about the centre) and one sample of the other (the
// centre). Both arrays hold complex samples interleaved (real, imaginary); the real and the
// imaginary parts are filtered alike, with the same real weights.
//
// Output i, part p (0 real, 1 imaginary), with e = even + 2i + p and o = odd + 2i + p:
//   s = w[M-1] * (e[0] + e[2(2M-1)])
//   s = s + w[k] * (e[2(M-1-k)] + e[2(M+k)])   for k = M-2 down to 0
//   s = s + 1/2 * o[0]
// and a NaN result becomes the positive quiet NaN: which NaN an operation on two of them
// gives depends on the order of its operands, which compilers and targets choose freely. The
// outer pairs, whose weights are smallest, come first; every operation rounds to float on its
// own (no fused multiply-add), so each target gives the same bits.
#pragma once

#include <cstddef>

struct HalfBand {
    const float* weights;  // weights[k] for the two samples 2k + 1 from the centre
    size_t pairs;          // M, at least 1
};

// `count` complex outputs, one after the other, the reference arithmetic.
void halfBandBlockScalar(const HalfBand& filter, const float* even, const float* odd, float* out,
                         size_t count);

// The same outputs, bit for bit, several at a time on the widest SIMD level that the CPU has.
void halfBandBlock(const HalfBand& filter, const float* even, const float* odd, float* out,
                   size_t count);
