// The sample-rate converter: ratio, accepted input rates, and the converter state.
#pragma once

#include <samplerate.h>

#include <cstdint>
#include <memory>

constexpr uint32_t output_rate = 24000;

// The ratio handed to every read: 24000 / samplerate in double, rounded to float.
float resamplingRatio(uint32_t samplerate);

struct SamplerateRange {
    uint32_t lo;
    uint32_t hi;
};

// The input rates whose ratio the converter accepts, found by asking the library itself.
SamplerateRange supportedSamplerates();

bool isSupportedSamplerate(uint32_t samplerate);

struct SrcStateDeleter {
    void operator()(SRC_STATE* state) const { src_delete(state); }
};
using SrcStatePtr = std::unique_ptr<SRC_STATE, SrcStateDeleter>;

// A two-channel SRC_SINC_MEDIUM_QUALITY converter in callback mode. Throws std::runtime_error
// with the library's text when it cannot be created.
SrcStatePtr createResampler(src_callback_t callback, void* context);
