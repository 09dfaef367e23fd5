#include "config.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>

#include "signal/resampler.h"

namespace {

template <typename T>
bool readField(std::istream* in, T* value) {
    in->read(reinterpret_cast<char*>(value), sizeof(T));
    return !in->fail();
}

// Taps are appended as they arrive rather than allocated at the declared count, so a file
// that declares billions of taps but holds a few costs only what it holds.
constexpr size_t taps_per_reserve = 4096;

}  // namespace

std::ifstream openConfigFile(const std::string& path) {
    std::error_code ec;
    // A directory opens as a stream on this platform but cannot be read: refuse it here.
    std::ifstream file;
    if (!std::filesystem::is_directory(path, ec)) file.open(path, std::ios::binary);
    if (!file.is_open()) throw std::runtime_error("Cannot open config file: " + path);
    return file;
}

FilterConfig readConfig(std::istream* in) {
    FilterConfig config;
    if (!readField(in, &config.frequency))
        throw std::runtime_error("Failed to read 'frequency' (need 4 bytes)");
    if (!readField(in, &config.samplerate))
        throw std::runtime_error("Failed to read 'samplerate' (need 4 bytes)");
    uint32_t count = 0;
    if (!readField(in, &count))
        throw std::runtime_error("Failed to read the number of taps (need 4 bytes)");

    config.taps.reserve(std::min<size_t>(count, taps_per_reserve));
    for (uint32_t k = 0; k < count; ++k) {
        float parts[2];
        if (!readField(in, &parts))
            throw std::runtime_error("Failed to read complex sample[" + std::to_string(k) +
                                     "] (file truncated?)");
        config.taps.emplace_back(parts[0], parts[1]);
    }
    config.num_taps = count;
    return config;
}

void printConfig(const FilterConfig& config) {
    std::cerr << "=== Filter Configuration ===\n"
              << "  Frequency : " << static_cast<double>(config.frequency) / 1000000.0 << " MHz\n"
              << "  Samplerate  : " << config.samplerate << "\n"
              << "  Number of complex filter taps : " << config.num_taps << "\n";
}

void checkConfig(const FilterConfig& config) {
    if (config.taps.empty()) throw std::runtime_error("The filter has no taps");
    if (!isSupportedSamplerate(config.samplerate)) {
        const SamplerateRange range = supportedSamplerates();
        throw std::runtime_error("Samplerate " + std::to_string(config.samplerate) +
                                 " is not supported (the resampler accepts " +
                                 std::to_string(range.lo) + " to " + std::to_string(range.hi) +
                                 " samples per second)");
    }
    if (!std::isfinite(config.frequency))
        throw std::runtime_error("Frequency is not a finite number");
    for (size_t k = 0; k < config.taps.size(); ++k) {
        if (!std::isfinite(config.taps[k].real()) || !std::isfinite(config.taps[k].imag()))
            throw std::runtime_error("Filter tap[" + std::to_string(k) +
                                     "] is not a finite number");
    }
}
