// The whole run in process: a configuration followed by standard input, as `cat cfg input`
// would give it. Whatever the samples hold (NaN, infinities, subnormals, huge values), the run
// ends normally, writes whole values that are never NaN, starts at exactly 0, and writes as
// many values as the input's length and the ratio call for, less the converter's delay.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "config.h"
#include "fuzz_check.h"
#include "signal/block_reader.h"
#include "signal/demodulator.h"
#include "signal/fir_filter.h"
#include "signal/resampler.h"

// The run's configuration and filter, defined as the program's entry point does.
FilterConfig cfg;
FIRFilter fir;

namespace {

// Keeps each input cheap: a low input rate turns one block into up to 255 * 256 values, each
// its own write.
constexpr double max_values = 70000;

int memoryFile(const char* name) {
    const int fd = memfd_create(name, 0);
    if (fd < 0) std::abort();
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::cerr.setstate(std::ios::badbit);  // no report and ratio line: they would pile up
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size), std::ios::binary);
    try {
        cfg = readConfig(&in);
        checkConfig(cfg);
    } catch (const std::runtime_error&) {
        return -1;  // the reader and the checks have their own target
    }
    const size_t at = static_cast<size_t>(in.tellg());
    const size_t samples = (size - at) / 8 / block_size * block_size;
    const double ratio = resamplingRatio(cfg.samplerate);
    if (samples * ratio > max_values) return -1;

    static const int input = memoryFile("stdin");
    static const int output = memoryFile("stdout");
    if (ftruncate(input, 0) != 0 || ftruncate(output, 0) != 0) std::abort();
    if (pwrite(input, data + at, size - at, 0) != static_cast<ssize_t>(size - at)) std::abort();
    if (lseek(input, 0, SEEK_SET) != 0 || lseek(output, 0, SEEK_SET) != 0) std::abort();
    if (dup2(input, STDIN_FILENO) < 0 || dup2(output, STDOUT_FILENO) < 0) std::abort();

    int status = -1;
    try {
        status = runDemodulator();
    } catch (const std::exception& e) {
        FUZZ_CHECK(false, "run threw: %s", e.what());
    }
    FUZZ_CHECK(status == 0, "run ended with status %d", status);

    const off_t bytes = lseek(output, 0, SEEK_END);
    FUZZ_CHECK(bytes % 4 == 0, "%lld bytes of output", static_cast<long long>(bytes));
    std::vector<float> values(static_cast<size_t>(bytes) / 4);
    if (pread(output, values.data(), bytes, 0) != bytes) std::abort();
    // The converter never invents values, and holds back at most the last half of its filter
    // (about 47 samples at the lower of the two rates) when the input ends.
    const double expected = samples * ratio;
    const double held_back = 50 * std::max(ratio, 1.0);
    FUZZ_CHECK(values.size() <= expected + 2 && values.size() + held_back + 2 >= expected,
               "%zu values from %zu samples at ratio %g", values.size(), samples, ratio);
    if (!values.empty()) FUZZ_CHECK(values[0] == 0.0f, "first value %g", values[0]);
    for (size_t i = 0; i < values.size(); ++i)
        FUZZ_CHECK(!std::isnan(values[i]), "value %zu is NaN", i);
    return 0;
}
