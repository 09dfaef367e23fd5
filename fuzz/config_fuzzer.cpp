// Configuration files as people pass them around: any bytes give either the configuration
// they hold, read up to its last tap, or the message for the first field that is missing; the
// checks that follow the report refuse exactly what cannot run.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>

#include "fuzz_check.h"
#include "reference.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string expected = ref::readMessage(bytes);
    std::istringstream in(bytes, std::ios::binary);
    FilterConfig config;
    const std::string message = ref::messageOf([&] { config = readConfig(&in); });
    FUZZ_CHECK(message == expected, "read: got \"%s\", want \"%s\"", message.c_str(),
               expected.c_str());
    if (!message.empty()) return 0;

    const size_t count = config.num_taps;
    FUZZ_CHECK(config.taps.size() == count && std::memcmp(&bytes[8], &config.num_taps, 4) == 0,
               "tap count");
    FUZZ_CHECK(std::memcmp(&config.frequency, &bytes[0], 4) == 0, "frequency bits");
    FUZZ_CHECK(std::memcmp(&config.samplerate, &bytes[4], 4) == 0, "samplerate");
    FUZZ_CHECK(count == 0 || std::memcmp(config.taps.data(), &bytes[12], 8 * count) == 0,
               "tap bits");
    FUZZ_CHECK(static_cast<size_t>(in.tellg()) == 12 + 8 * count, "stream position");

    // Refused exactly when it cannot run, each refusal in one of the messages' forms (their
    // words and order are held to a literal table in config_test and test_cli).
    bool finite = std::isfinite(config.frequency);
    for (const auto& tap : config.taps)
        finite = finite && std::isfinite(tap.real()) && std::isfinite(tap.imag());
    const bool runnable = count > 0 && config.samplerate >= ref::lowest_rate && finite;
    const std::string got = ref::messageOf([&] { checkConfig(config); });
    FUZZ_CHECK(got.empty() == runnable, "check: got \"%s\"", got.c_str());
    bool known = got.empty();
    for (const char* form :
         {"The filter has no taps", "Samplerate ", "Frequency is not", "Filter tap["})
        known = known || got.rfind(form, 0) == 0;
    FUZZ_CHECK(known, "check: unknown message \"%s\"", got.c_str());
    return 0;
}
