// The sample-rate converter: ratio, accepted input rates, and the converter state.
#pragma once

#include <samplerate.h>

#include <cstdint>
#include <memory>

constexpr uint32_t output_rate = 24000;
// The converter: libsamplerate's medium sinc, real and imaginary parts as two channels.
constexpr int converter_type = SRC_SINC_MEDIUM_QUALITY;
constexpr int converter_channels = 2;

// 24000 / samplerate in double, rounded to float: the ratio the report states.
float resamplingRatio(uint32_t samplerate);

// How many input samples make one for the converter: 1 at the rates it accepts itself, above
// them the decimationFactor of the decimator that then goes ahead of it (0 for a rate that
// neither takes).
uint32_t decimationFor(uint32_t samplerate);

// The ratio handed to every read: 24000 / (samplerate / factor) in double, rounded to float;
// resamplingRatio itself when the factor is 1.
float converterRatio(uint32_t samplerate, uint32_t factor);

struct SamplerateRange {
    uint32_t lo;
    uint32_t hi;
};

// The input rates that iqenv accepts, with a decimator ahead of the converter where it needs
// one, found by asking the library itself.
SamplerateRange supportedSamplerates();

bool isSupportedSamplerate(uint32_t samplerate);

struct SrcStateDeleter {
    void operator()(SRC_STATE* state) const { src_delete(state); }
};
using SrcStatePtr = std::unique_ptr<SRC_STATE, SrcStateDeleter>;

// The converter (converter_type, converter_channels) in callback mode. Throws
// std::runtime_error with the library's text when it cannot be created.
SrcStatePtr createResampler(src_callback_t callback, void* context);
