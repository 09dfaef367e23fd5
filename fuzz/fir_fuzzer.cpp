// The FIR filter against the direct sum, for any taps and samples and any way of cutting the
// stream into calls, at every SIMD level.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "reference.h"

namespace {

constexpr size_t max_taps = 96;
constexpr size_t max_samples = 4096;

std::vector<ref::cf> complexes(const uint8_t* data, size_t count) {
    std::vector<ref::cf> v(count);
    if (count > 0) std::memcpy(v.data(), data, count * sizeof(ref::cf));
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return -1;
    const size_t num_taps = data[0] % (max_taps + 1);  // no taps: an empty sum, 0
    const uint32_t seed = data[1];
    if (size - 2 < num_taps * sizeof(ref::cf)) return -1;
    const std::vector<ref::cf> taps = complexes(data + 2, num_taps);
    const size_t rest = (size - 2) / sizeof(ref::cf) - num_taps;
    const std::vector<ref::cf> x = complexes(data + 2 + 8 * num_taps, std::min(rest, max_samples));

    std::vector<ref::cf> want(x.size());
    for (size_t n = 0; n < x.size(); ++n) want[n] = ref::firOutput(taps, x, n);
    forEachSimdLevel([&](int64_t level) {
        const std::vector<ref::cf> y = ref::filterInPieces(taps, x, seed);
        for (size_t n = 0; n < x.size(); ++n)
            FUZZ_CHECK(ref::same(y[n], want[n]), "%s: y[%zu] = (%a, %a), want (%a, %a), %zu taps",
                       hwy::TargetName(level), n, y[n].real(), y[n].imag(), want[n].real(),
                       want[n].imag(), num_taps);
    });
    return 0;
}
