#include "resampler.h"

#include <stdexcept>
#include <string>

#include "decimator.h"

namespace {
bool converterAccepts(uint32_t samplerate, uint32_t factor) {
    return src_is_valid_ratio(converterRatio(samplerate, factor)) != 0;
}
}  // namespace

float resamplingRatio(uint32_t samplerate) {
    return static_cast<float>(static_cast<double>(output_rate) / static_cast<double>(samplerate));
}

float converterRatio(uint32_t samplerate, uint32_t factor) {
    return static_cast<float>(static_cast<double>(output_rate) /
                              (static_cast<double>(samplerate) / factor));
}

uint32_t decimationFor(uint32_t samplerate) {
    if (samplerate == 0) return 0;
    if (converterAccepts(samplerate, 1)) return 1;
    // Only rates too high for the converter are brought down; too low ones stay refused.
    if (samplerate < output_rate) return 0;
    const uint32_t factor = decimationFactor(samplerate);
    return converterAccepts(samplerate, factor) ? factor : 0;
}

bool isSupportedSamplerate(uint32_t samplerate) {
    return decimationFor(samplerate) != 0;
}

SamplerateRange supportedSamplerates() {
    // The ratio falls as the rate grows, so the accepted rates form one interval around the
    // output rate; bisect for each end.
    uint32_t bad = 0, good = output_rate;
    while (good - bad > 1) {
        uint32_t mid = bad + (good - bad) / 2;
        (isSupportedSamplerate(mid) ? good : bad) = mid;
    }
    const uint32_t lo = good;
    good = output_rate;
    uint64_t beyond = uint64_t{UINT32_MAX} + 1;
    while (beyond - good > 1) {
        uint32_t mid = static_cast<uint32_t>(good + (beyond - good) / 2);
        if (isSupportedSamplerate(mid))
            good = mid;
        else
            beyond = mid;
    }
    return {lo, good};
}

SrcStatePtr createResampler(src_callback_t callback, void* context) {
    int error = 0;
    SrcStatePtr state(
        src_callback_new(callback, converter_type, converter_channels, &error, context));
    if (!state || error != 0) {
        const char* text = error != 0 ? src_strerror(error) : nullptr;
        throw std::runtime_error(std::string("Cannot create the resampler: ") +
                                 (text ? text : "unknown error"));
    }
    return state;
}
