// Configuration files as people pass them around: any bytes give either a configuration that
// matches the bytes or the message for the first field that is missing, and the checks that
// follow the report refuse exactly what cannot run, with the documented message.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "config.h"
#include "fuzz_check.h"

namespace {

// The accepted input rates, as the README documents them.
constexpr uint32_t lowest_rate = 94;
constexpr uint32_t highest_rate = 6144000;

template <typename T>
T field(const uint8_t* data, size_t at) {
    T value;
    std::memcpy(&value, data + at, sizeof value);
    return value;
}

std::string readMessage(const uint8_t* data, size_t size) {
    if (size < 4) return "Failed to read 'frequency' (need 4 bytes)";
    if (size < 8) return "Failed to read 'samplerate' (need 4 bytes)";
    if (size < 12) return "Failed to read the number of taps (need 4 bytes)";
    const uint64_t present = (size - 12) / 8;
    if (present < field<uint32_t>(data, 8))
        return "Failed to read complex sample[" + std::to_string(present) + "] (file truncated?)";
    return "";
}

std::string checkMessage(const FilterConfig& c) {
    if (c.taps.empty()) return "The filter has no taps";
    if (c.samplerate < lowest_rate || c.samplerate > highest_rate)
        return "Samplerate " + std::to_string(c.samplerate) + " is not supported (the resampler " +
               "accepts 94 to 6144000 samples per second)";
    if (!std::isfinite(c.frequency)) return "Frequency is not a finite number";
    for (size_t k = 0; k < c.taps.size(); ++k)
        if (!std::isfinite(c.taps[k].real()) || !std::isfinite(c.taps[k].imag()))
            return "Filter tap[" + std::to_string(k) + "] is not a finite number";
    return "";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size), std::ios::binary);
    const std::string expected = readMessage(data, size);
    FilterConfig config;
    try {
        config = readConfig(&in);
    } catch (const std::runtime_error& e) {
        FUZZ_CHECK(expected == e.what(), "read: got \"%s\", want \"%s\"", e.what(),
                   expected.c_str());
        return 0;
    }
    FUZZ_CHECK(expected.empty(), "read accepted a file that lacks: %s", expected.c_str());
    const uint32_t count = field<uint32_t>(data, 8);
    FUZZ_CHECK(config.num_taps == count && config.taps.size() == count, "tap count");
    FUZZ_CHECK(std::memcmp(&config.frequency, data, 4) == 0, "frequency bits");
    FUZZ_CHECK(config.samplerate == field<uint32_t>(data, 4), "samplerate");
    FUZZ_CHECK(count == 0 || std::memcmp(config.taps.data(), data + 12, 8 * size_t{count}) == 0,
               "tap bits");
    // The reader stops after the last tap, leaving the rest of the stream where it was.
    FUZZ_CHECK(static_cast<size_t>(in.tellg()) == 12 + 8 * size_t{count}, "stream position");

    std::ostringstream report;
    std::streambuf* old = std::cerr.rdbuf(report.rdbuf());
    printConfig(config);
    std::cerr.rdbuf(old);
    const std::string tail = "  Samplerate  : " + std::to_string(config.samplerate) +
                             "\n  Number of complex filter taps : " + std::to_string(count) + "\n";
    const std::string r = report.str();
    FUZZ_CHECK(r.rfind("=== Filter Configuration ===\n  Frequency : ", 0) == 0 &&
                   r.size() > tail.size() &&
                   r.compare(r.size() - tail.size(), tail.size(), tail) == 0 &&
                   std::count(r.begin(), r.end(), '\n') == 4,
               "report:\n%s", r.c_str());

    const std::string refusal = checkMessage(config);
    try {
        checkConfig(config);
        FUZZ_CHECK(refusal.empty(), "check accepted what should fail: %s", refusal.c_str());
    } catch (const std::runtime_error& e) {
        FUZZ_CHECK(refusal == e.what(), "check: got \"%s\", want \"%s\"", e.what(),
                   refusal.c_str());
    }
    return 0;
}
