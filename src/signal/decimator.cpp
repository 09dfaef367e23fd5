#include "decimator.h"

#include <algorithm>

namespace {

// The maximally flat half-bands (all 2M zeros of the response at half the rate), whose weights
// are short binary fractions, exact in float. min_rate is the lowest input rate at which one
// keeps everything that the halving folds onto +-12.5 kHz at least 103 dB down (100 promised,
// and a margin); at such rates its loss at 10 kHz is below 0.0001 dB.
constexpr float weights1[] = {1 / 4.0f};
constexpr float weights2[] = {9 / 32.0f, -1 / 32.0f};
constexpr float weights3[] = {150 / 512.0f, -25 / 512.0f, 3 / 512.0f};
constexpr float weights4[] = {1225 / 4096.0f, -245 / 4096.0f, 49 / 4096.0f, -5 / 4096.0f};
constexpr float weights5[] = {39690 / 131072.0f, -8820 / 131072.0f, 2268 / 131072.0f,
                              -405 / 131072.0f, 35 / 131072.0f};
constexpr float weights6[] = {320166 / 1048576.0f, -76230 / 1048576.0f, 22869 / 1048576.0f,
                              -5445 / 1048576.0f,  847 / 1048576.0f,    -63 / 1048576.0f};

constexpr HalfBandDesign designs[] = {
    {14760000, {weights1, 1}}, {1002000, {weights2, 2}}, {415000, {weights3, 3}},
    {267000, {weights4, 4}},   {205000, {weights5, 5}},  {172000, {weights6, 6}},
};
// The last stage halves at least twice min_decimated_rate, which the longest design covers.
static_assert(2 * min_decimated_rate >= 172000);

HalfBand shortestFor(double rate) {
    for (const HalfBandDesign& design : designs)
        if (rate >= design.min_rate) return design.filter;
    return designs[std::size(designs) - 1].filter;
}

}  // namespace

std::vector<HalfBandDesign> halfBandDesigns() {
    return {std::begin(designs), std::end(designs)};
}

uint32_t decimationFactor(uint32_t samplerate) {
    uint32_t factor = 2;
    while (factor < max_decimation && samplerate / (2.0 * factor) >= min_decimated_rate)
        factor *= 2;
    return factor;
}

std::vector<HalfBand> decimationStages(uint32_t samplerate, uint32_t factor) {
    std::vector<HalfBand> stages;
    double rate = samplerate;
    for (uint32_t d = factor; d > 1; d /= 2, rate /= 2) stages.push_back(shortestFor(rate));
    return stages;
}

void Decimator::init(uint32_t samplerate, uint32_t factor) {
    factor_ = factor;
    stages_.clear();
    for (const HalfBand& filter : decimationStages(samplerate, factor))
        stages_.emplace_back(filter, chunk);
    for (std::vector<float>& s : scratch_) s.assign(2 * chunk, 0.0f);
}

size_t Decimator::process(const std::complex<float>* in, size_t count, std::complex<float>* out) {
    size_t produced = 0;
    const float* input = reinterpret_cast<const float*>(in);
    float* output = reinterpret_cast<float*>(out);
    while (count > 0) {
        size_t n = std::min(count, chunk);
        count -= n;
        const float* from = input;
        input += 2 * n;
        for (size_t s = 0; s < stages_.size() && n > 0; ++s) {
            float* to = s + 1 == stages_.size() ? output + 2 * produced : scratch_[s % 2].data();
            n = stages_[s].process(from, n, to);
            from = to;
        }
        produced += n;
    }
    return produced;
}

Decimator::Stage::Stage(const HalfBand& filter, size_t max_input) : filter_(filter) {
    // Zero history: as if the input had been 0 before the run. Both parities start with the
    // 2M - 1 samples that the first output reaches back to.
    const size_t history = 2 * filter.pairs - 1;
    even_.assign(2 * (history + max_input / 2 + 1), 0.0f);
    odd_.assign(2 * (history + max_input / 2 + 1), 0.0f);
    even_count_ = odd_count_ = history;
}

size_t Decimator::Stage::process(const float* in, size_t count, float* out) {
    auto append = [](std::vector<float>& to, size_t& at, const float* sample) {
        to[2 * at] = sample[0];
        to[2 * at + 1] = sample[1];
        ++at;
    };
    size_t i = 0;
    if (odd_next_ && count > 0) append(odd_, odd_count_, in + 2 * i++);
    for (; i + 2 <= count; i += 2) {
        append(even_, even_count_, in + 2 * i);
        append(odd_, odd_count_, in + 2 * i + 2);
    }
    if (i < count) append(even_, even_count_, in + 2 * i++);
    odd_next_ = even_count_ > odd_count_;
    // Output m takes the even samples m .. m + 2M - 1 and the odd sample m + M - 1; the odd
    // side is never the one that is short.
    const size_t m = filter_.pairs;
    const size_t outputs = even_count_ - (2 * m - 1);
    if (outputs == 0) return 0;
    halfBandBlock(filter_, even_.data(), odd_.data() + 2 * (m - 1), out, outputs);
    std::copy(even_.begin() + 2 * outputs, even_.begin() + 2 * even_count_, even_.begin());
    std::copy(odd_.begin() + 2 * outputs, odd_.begin() + 2 * odd_count_, odd_.begin());
    even_count_ -= outputs;
    odd_count_ -= outputs;
    return outputs;
}
