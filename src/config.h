// The configuration record, its binary file reader and the report.
#pragma once

#include <complex>
#include <cstdint>
#include <fstream>
#include <istream>
#include <string>
#include <vector>

struct FilterConfig {
    float frequency = 0.0f;   // hertz
    uint32_t samplerate = 0;  // input samples per second
    uint32_t num_taps = 0;    // as declared by the file
    std::vector<std::complex<float>> taps;
};

// The configuration of this process's run, defined by the program's entry point.
extern FilterConfig cfg;

// Opens the file at `path` in binary mode for readConfig; throws std::runtime_error
// "Cannot open config file: PATH" when it cannot be opened (a directory cannot).
std::ifstream openConfigFile(const std::string& path);

// Reads frequency, sample rate, tap count and taps from the stream's current position.
// Throws std::runtime_error naming the first field that could not be read whole.
// Memory stays bounded by the bytes actually present, whatever count the file declares.
FilterConfig readConfig(std::istream* in);

// Writes the four-line configuration report to standard error.
void printConfig(const FilterConfig& config);

// Refuses, with std::runtime_error, a configuration that cannot give a meaningful run: no taps,
// a sample rate the resampler cannot convert, a frequency or a tap that is not finite.
void checkConfig(const FilterConfig& config);
