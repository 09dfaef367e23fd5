#include "config.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <iostream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>

#include "signal/resampler.h"

namespace {

std::string configBytes(float frequency, uint32_t samplerate, uint32_t count,
                        const std::vector<std::complex<float>>& taps) {
    std::string bytes(12 + 8 * taps.size(), '\0');
    std::memcpy(&bytes[0], &frequency, 4);
    std::memcpy(&bytes[4], &samplerate, 4);
    std::memcpy(&bytes[8], &count, 4);
    if (!taps.empty()) std::memcpy(&bytes[12], taps.data(), 8 * taps.size());
    return bytes;
}

std::string readError(const std::string& bytes) {
    std::istringstream in(bytes, std::ios::binary);
    try {
        readConfig(&in);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

std::string report(float frequency, uint32_t samplerate, uint32_t taps) {
    FilterConfig config;
    config.frequency = frequency;
    config.samplerate = samplerate;
    config.num_taps = taps;
    std::ostringstream captured;
    std::streambuf* old = std::cerr.rdbuf(captured.rdbuf());
    printConfig(config);
    std::cerr.rdbuf(old);
    return captured.str();
}

std::string checkError(const FilterConfig& config) {
    try {
        checkConfig(config);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(ReadConfig, EveryTruncationFailsAtTheFirstMissingField) {
    const std::string whole = configBytes(433.92e6f, 2400000, 3, {{1, 2}, {3, 4}, {5, 6}});
    for (size_t length = 0; length < whole.size(); ++length) {
        std::string expected;
        if (length < 4)
            expected = "Failed to read 'frequency' (need 4 bytes)";
        else if (length < 8)
            expected = "Failed to read 'samplerate' (need 4 bytes)";
        else if (length < 12)
            expected = "Failed to read the number of taps (need 4 bytes)";
        else
            expected = "Failed to read complex sample[" + std::to_string((length - 12) / 8) +
                       "] (file truncated?)";
        EXPECT_EQ(readError(whole.substr(0, length)), expected) << "length " << length;
    }
}

TEST(ReadConfig, ReadsFieldsAndTapsInFileOrderAndIgnoresTrailingBytes) {
    const std::vector<std::complex<float>> taps = {{1.5f, -2}, {0, 0.25f}, {-0.0f, 1e-40f}};
    std::istringstream in(configBytes(-1.25e6f, 48000, 3, taps) + "trailing", std::ios::binary);
    const FilterConfig config = readConfig(&in);
    EXPECT_EQ(config.frequency, -1.25e6f);
    EXPECT_EQ(config.samplerate, 48000u);
    EXPECT_EQ(config.num_taps, 3u);
    ASSERT_EQ(config.taps.size(), 3u);
    EXPECT_EQ(std::memcmp(config.taps.data(), taps.data(), 24), 0);

    std::istringstream empty(configBytes(0, 0, 0, {}), std::ios::binary);
    EXPECT_TRUE(readConfig(&empty).taps.empty());
}

TEST(ReadConfig, HugeDeclaredCountInAShortFileIsATruncationNotAnAllocation) {
    // The largest count with two taps present: must fail at tap 2 without reserving 32 GiB.
    const std::string bytes = configBytes(1, 2400000, 0xffffffffu, {{1, 0}, {2, 0}}) + "abc";
    EXPECT_EQ(readError(bytes), "Failed to read complex sample[2] (file truncated?)");
}

TEST(PrintConfig, ShowsTheFrequencyInMegahertzAsPercentG) {
    EXPECT_EQ(report(433.92e6f, 2400000, 64),
              "=== Filter Configuration ===\n"
              "  Frequency : 433.92 MHz\n"
              "  Samplerate  : 2400000\n"
              "  Number of complex filter taps : 64\n");
    const auto frequencyLine = [](float hz) {
        const std::string r = report(hz, 0, 0);
        const size_t start = r.find("  Frequency : ");
        return r.substr(start, r.find('\n', start) - start);
    };
    EXPECT_EQ(frequencyLine(100e6f), "  Frequency : 100 MHz");
    EXPECT_EQ(frequencyLine(1.234567e6f), "  Frequency : 1.23457 MHz");
    EXPECT_EQ(frequencyLine(0.0f), "  Frequency : 0 MHz");
    EXPECT_EQ(frequencyLine(50.0f), "  Frequency : 5e-05 MHz");
    EXPECT_EQ(frequencyLine(2e12f), "  Frequency : 2e+06 MHz");
    EXPECT_EQ(frequencyLine(-7.5e3f), "  Frequency : -0.0075 MHz");
    const std::string big = report(0, 4294967295u, 4294967295u);
    EXPECT_EQ(big.substr(big.find("Samplerate")),
              "Samplerate  : 4294967295\n  Number of complex filter taps : 4294967295\n");
}

TEST(CheckConfig, RefusesWhatCannotRunInOrderOfImportance) {
    FilterConfig good;
    good.frequency = 100e3f;
    good.samplerate = 2400000;
    good.taps = {{1, 0}, {0, 1}};
    good.num_taps = 2;
    EXPECT_EQ(checkError(good), "");

    FilterConfig c = good;
    c.taps.clear();
    c.num_taps = 0;
    c.samplerate = 0;  // no taps is reported first
    EXPECT_EQ(checkError(c), "The filter has no taps");

    const std::string range =
        " is not supported (the resampler accepts 94 to 6144000 samples per second)";
    for (uint32_t rate : {0u, 93u, 6144001u, 4294967295u}) {
        c = good;
        c.samplerate = rate;
        EXPECT_EQ(checkError(c), "Samplerate " + std::to_string(rate) + range);
    }
    for (uint32_t rate : {94u, 24000u, 6144000u}) {
        c = good;
        c.samplerate = rate;
        EXPECT_EQ(checkError(c), "") << rate;
    }

    for (float bad : {std::numeric_limits<float>::quiet_NaN(), INFINITY, -INFINITY}) {
        c = good;
        c.frequency = bad;
        EXPECT_EQ(checkError(c), "Frequency is not a finite number");
        c = good;
        c.taps[1] = {0.5f, bad};
        EXPECT_EQ(checkError(c), "Filter tap[1] is not a finite number");
    }
}

TEST(Resampler, AcceptedRatesAreExactlyThoseTheLibraryAccepts) {
    const SamplerateRange range = supportedSamplerates();
    EXPECT_EQ(range.lo, 94u);
    EXPECT_EQ(range.hi, 6144000u);
    EXPECT_TRUE(src_is_valid_ratio(resamplingRatio(range.lo)));
    EXPECT_FALSE(src_is_valid_ratio(resamplingRatio(range.lo - 1)));
    EXPECT_TRUE(src_is_valid_ratio(resamplingRatio(range.hi)));
    EXPECT_FALSE(src_is_valid_ratio(resamplingRatio(range.hi + 1)));
    EXPECT_EQ(resamplingRatio(2400000), 0.01f);
    EXPECT_EQ(resamplingRatio(24000), 1.0f);
}
