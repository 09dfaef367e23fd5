// The envelope against its definition: each value is (|z| - mean) * 10000 with |z| the C
// library's single-precision complex magnitude and the mean within one float ulp of the true
// mean of every finite magnitude so far; a frame whose magnitude is not finite gives 0 and is
// left out; a constant magnitude gives exactly 0.
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "signal/envelope.h"

namespace {

constexpr size_t max_frames = 4096;

bool meanWithinAnUlp(float m, long double true_mean, float value) {
    const float nearest = static_cast<float>(true_mean);
    for (const float mean :
         {std::nextafter(nearest, -INFINITY), nearest, std::nextafter(nearest, INFINITY)}) {
        const float candidate = (m - mean) * output_gain;
        if (std::memcmp(&candidate, &value, sizeof value) == 0) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return -1;  // the frames start at the second byte, as in the seeds
    const size_t count = std::min((size - 1) / 8, max_frames);
    std::vector<float> frames(2 * count);
    if (count > 0) std::memcpy(frames.data(), data + 1, 8 * count);

    EnvelopeDetector envelope;
    std::vector<float> values(count);
    for (size_t i = 0; i < count; ++i) values[i] = envelope.next(frames[2 * i], frames[2 * i + 1]);

    long double sum = 0.0L;
    uint64_t finite = 0;
    float first = NAN;
    bool constant = true;
    for (size_t i = 0; i < count; ++i) {
        const float m = std::abs(std::complex<float>(frames[2 * i], frames[2 * i + 1]));
        if (!std::isfinite(m)) {
            FUZZ_CHECK(values[i] == 0.0f, "frame %zu: %a for a non-finite magnitude", i, values[i]);
            continue;
        }
        sum += m;
        ++finite;
        if (finite == 1) first = m;
        constant = constant && m == first;
        if (constant) {
            FUZZ_CHECK(values[i] == 0.0f, "frame %zu: %a for a constant magnitude", i, values[i]);
        } else {
            FUZZ_CHECK(meanWithinAnUlp(m, sum / finite, values[i]),
                       "frame %zu: |z| = %a, true mean %La, value %a", i, m, sum / finite,
                       values[i]);
        }
    }
    FUZZ_CHECK(envelope.mean().count() == finite, "%llu magnitudes in the mean, want %llu",
               static_cast<unsigned long long>(envelope.mean().count()),
               static_cast<unsigned long long>(finite));
    return 0;
}
