#include "config.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "reference.h"

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

FilterConfig read(const std::string& bytes) {
    std::istringstream in(bytes, std::ios::binary);
    return readConfig(&in);
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

}  // namespace

TEST(ReadConfig, ReadsTheFieldsInOrderOrNamesTheFirstMissingOne) {
    const std::vector<std::complex<float>> taps = {{1.5f, -2}, {0, 0.25f}, {-0.0f, 1e-40f}};
    const std::string whole = configBytes(-1.25e6f, 48000, 3, taps);
    const FilterConfig config = read(whole + "trailing");
    EXPECT_EQ(config.frequency, -1.25e6f);
    EXPECT_EQ(config.samplerate, 48000u);
    EXPECT_EQ(config.num_taps, 3u);
    ASSERT_EQ(config.taps.size(), 3u);
    EXPECT_EQ(std::memcmp(config.taps.data(), taps.data(), 24), 0);
    EXPECT_TRUE(read(configBytes(0, 0, 0, {})).taps.empty());

    // The largest count with two taps present fails at tap 2 (without reserving 32 GiB).
    for (const std::string& file : {whole, configBytes(1, 2400000, 0xffffffffu, taps) + "abc"})
        for (size_t length = 0; length < file.size(); ++length) {
            const std::string bytes = file.substr(0, length);
            EXPECT_EQ(ref::messageOf([&] { read(bytes); }), ref::readMessage(bytes)) << length;
        }
}

TEST(PrintConfig, ShowsTheFrequencyInMegahertzAsPercentG) {
    EXPECT_EQ(report(433.92e6f, 2400000, 64),
              "=== Filter Configuration ===\n"
              "  Frequency : 433.92 MHz\n"
              "  Samplerate  : 2400000\n"
              "  Number of complex filter taps : 64\n");
    const std::pair<float, const char*> shown[] = {
        {100e6f, "100"},  {1.234567e6f, "1.23457"}, {0.0f, "0"}, {50.0f, "5e-05"},
        {2e12f, "2e+06"}, {-7.5e3f, "-0.0075"},     {NAN, "nan"}};
    for (const auto& [hz, text] : shown)
        EXPECT_NE(report(hz, 0, 0).find(std::string("  Frequency : ") + text + " MHz\n"),
                  std::string::npos)
            << text;
    const std::string big = report(0, 4294967295u, 4294967295u);
    EXPECT_EQ(big.substr(big.find("Samplerate")),
              "Samplerate  : 4294967295\n  Number of complex filter taps : 4294967295\n");
}

TEST(CheckConfig, RefusesWhatCannotRunInOrderOfImportanceWithItsMessage) {
    FilterConfig good;
    good.frequency = 100e3f;
    good.samplerate = 2400000;
    good.taps = {{1, 0}, {0, 1}};
    std::vector<std::pair<FilterConfig, std::string>> cases = {{good, ""}};
    const auto add = [&](auto change, const std::string& message) {
        cases.emplace_back(good, message);
        change(cases.back().first);
    };
    const std::string accepts =
        " is not supported (the resampler accepts 94 to 4294967295 "
        "samples per second)";
    const std::string frequency = "Frequency is not a finite number";
    // No taps comes first, then the rate, the frequency and the first tap that is not finite.
    add([](FilterConfig& c) { c.taps.clear(), c.samplerate = 0; }, "The filter has no taps");
    for (const uint32_t rate : {0u, ref::lowest_rate - 1})
        add([&](FilterConfig& c) { c.samplerate = rate, c.frequency = NAN; },
            "Samplerate " + std::to_string(rate) + accepts);
    for (const uint32_t rate : {ref::lowest_rate, 24000u, 6144000u, 6144001u, ref::highest_rate})
        add([&](FilterConfig& c) { c.samplerate = rate, c.frequency = NAN; }, frequency);
    for (const float bad : {NAN, INFINITY, -INFINITY}) {
        add([&](FilterConfig& c) { c.frequency = bad, c.taps[0] = {bad, 0}; }, frequency);
        add(
            [&](FilterConfig& c) {
                c.taps[1] = {bad, 0.5f};
            },
            "Filter tap[1] is not a finite number");
        add(
            [&](FilterConfig& c) {
                c.taps[1] = {0.5f, bad};
            },
            "Filter tap[1] is not a finite number");
        add(
            [&](FilterConfig& c) {
                c.taps[0] = {bad, bad};
            },
            "Filter tap[0] is not a finite number");
    }
    for (const auto& [c, message] : cases)
        EXPECT_EQ(ref::messageOf([&] { checkConfig(c); }), message)
            << c.samplerate << " " << c.frequency;
}
