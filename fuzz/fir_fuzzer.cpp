// The FIR filter against its definition, y[n] = sum over k of taps[k] * x[n - k] in ascending
// k with the full complex product, for any taps and samples and any way of cutting the stream
// into calls, at every SIMD level. Parts must match bit for bit; a NaN only needs to meet a
// NaN.
#include <complex>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "hwy/targets.h"
#include "signal/complex_mul.h"
#include "signal/fir_filter.h"
#include "simd_levels.h"

namespace {

using Complex = std::complex<float>;

constexpr size_t max_taps = 96;
constexpr size_t max_samples = 4096;

std::vector<Complex> complexes(const uint8_t* data, size_t count) {
    std::vector<Complex> v(count);
    if (count > 0) std::memcpy(v.data(), data, count * sizeof(Complex));
    return v;
}

bool same(float a, float b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::memcmp(&a, &b, sizeof a) == 0;
}

Complex reference(const std::vector<Complex>& taps, const std::vector<Complex>& x, size_t n) {
    float re = 0.0f, im = 0.0f;
    for (size_t k = 0; k < taps.size(); ++k) {
        const Complex p = multiplyComplex(taps[k], k <= n ? x[n - k] : Complex(0.0f, 0.0f));
        re += p.real();
        im += p.imag();
    }
    return {re, im};
}

// Cuts the stream into calls of 0 to 300 samples, single-sample calls among them, and uses
// each form of process: one sample, a block in place, a block from one buffer to another.
void filterInPieces(FIRFilter* filter, const std::vector<Complex>& x, std::vector<Complex>* y,
                    uint32_t seed) {
    size_t at = 0;
    while (at < x.size()) {
        seed = seed * 1103515245u + 12345u;
        const size_t piece = std::min<size_t>((seed >> 16) % 301, x.size() - at);
        if (piece == 1 && (seed & 1)) {
            (*y)[at] = filter->process(x[at]);
        } else if (seed & 2) {
            filter->process(y->data() + at, piece);  // y holds a copy of x
        } else {
            filter->process(x.data() + at, y->data() + at, piece);
        }
        at += piece;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return -1;
    const size_t num_taps = data[0] % (max_taps + 1);  // no taps: an empty sum, 0
    const uint32_t seed = data[1];
    data += 2;
    size -= 2;
    if (size < num_taps * sizeof(Complex)) return -1;
    const std::vector<Complex> taps = complexes(data, num_taps);
    data += num_taps * sizeof(Complex);
    size -= num_taps * sizeof(Complex);
    const std::vector<Complex> input =
        complexes(data, std::min(size / sizeof(Complex), max_samples));

    std::vector<Complex> want(input.size());
    for (size_t n = 0; n < input.size(); ++n) want[n] = reference(taps, input, n);

    forEachSimdLevel([&](int64_t level) {
        // A used filter of another length must forget its taps and history when it gets new
        // ones.
        FIRFilter filter;
        filter.init(std::vector<Complex>(num_taps + 3, Complex(1.0f, -1.0f)));
        std::vector<Complex> warmup(input.begin(),
                                    input.begin() + std::min<size_t>(input.size(), 7));
        filter.process(warmup.data(), warmup.size());
        filter.init(taps);
        FUZZ_CHECK(filter.size() == num_taps, "size %zu, want %zu", filter.size(), num_taps);

        std::vector<Complex> output = input;
        filterInPieces(&filter, input, &output, seed);
        for (size_t n = 0; n < input.size(); ++n)
            FUZZ_CHECK(
                same(output[n].real(), want[n].real()) && same(output[n].imag(), want[n].imag()),
                "%s: y[%zu] = (%a, %a), want (%a, %a), %zu taps", hwy::TargetName(level), n,
                output[n].real(), output[n].imag(), want[n].real(), want[n].imag(), num_taps);
    });
    return 0;
}
