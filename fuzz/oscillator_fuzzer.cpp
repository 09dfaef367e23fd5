// The cosine factors against the true factor of the exact phase, for any finite frequency,
// any sample rate, any start below 2^40 and any way of cutting the samples into calls; every
// SIMD level gives the same bits.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "reference.h"
#include "signal/oscillator.h"

namespace {

constexpr size_t max_count = 4096;
constexpr uint64_t max_start = (uint64_t{1} << 40) - max_count;

template <typename T>
T take(const uint8_t*& data) {
    T value;
    std::memcpy(&value, data, sizeof value);
    data += sizeof value;
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size != 4 + 4 + 8 + 2 + 1) return -1;
    const float frequency = take<float>(data);
    const uint32_t samplerate = take<uint32_t>(data);
    const uint64_t start = take<uint64_t>(data) % (max_start + 1);
    const size_t count = take<uint16_t>(data) % (max_count + 1);
    const uint32_t seed = *data;
    if (!std::isfinite(frequency) || samplerate == 0) return -1;

    std::vector<float> factors;  // from the first level; the others must give the same bits
    forEachSimdLevel([&](int64_t level) {
        CosineOscillator jumped(frequency, samplerate);
        jumped.phase().seek(start);
        std::vector<float> these(count);
        uint32_t cuts = seed;
        for (size_t at = 0; at < count;) {
            cuts = cuts * 1103515245u + 12345u;
            const size_t piece = std::min<size_t>((cuts >> 16) % 700, count - at);
            jumped.next(these.data() + at, piece);
            at += piece;
        }
        if (factors.empty()) factors = these;
        FUZZ_CHECK(count == 0 || std::memcmp(these.data(), factors.data(), 4 * count) == 0,
                   "%s gives other factors", hwy::TargetName(level));
    });

    for (size_t i = 0; i < count; ++i) {
        const ref::Factor want = ref::trueFactor(frequency, samplerate, start + i);
        FUZZ_CHECK(ref::rightFactor(factors[i], want), "n=%llu f=%a sr=%u: %.9g, want %.9Lg",
                   static_cast<unsigned long long>(start + i), frequency, samplerate, factors[i],
                   want.value);
    }
    return 0;
}
