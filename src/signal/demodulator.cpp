#include "demodulator.h"

#include <unistd.h>

#include <cstring>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "../config.h"
#include "envelope.h"
#include "input_source.h"
#include "output_sink.h"
#include "resampler.h"

namespace {
constexpr long frames_per_read = 512;
}

int runDemodulator() {
    startInput();
    SrcStatePtr state = createResampler(stdin_callback, nullptr);

    std::vector<float> output_block(2 * frames_per_read, 0.0f);
    const uint32_t factor = decimationFor(cfg.samplerate);
    const float ratio = converterRatio(cfg.samplerate, factor);
    EnvelopeDetector envelope;
    OutputSink out(STDOUT_FILENO);

    std::cerr << "Resampling ratio : " << resamplingRatio(cfg.samplerate) << "\n";
    if (factor > 1) {
        std::ostringstream rate;  // exact: a power of two divides it
        rate << std::setprecision(17) << cfg.samplerate / static_cast<double>(factor);
        std::cerr << "Decimation : " << factor << ", the resampler receives " << rate.str()
                  << " samples per second\n";
    }
    std::cerr << std::flush;

    for (;;) {
        const long n = src_callback_read(state.get(), ratio, frames_per_read, output_block.data());
        const int error = src_error(state.get());
        if (n < 0 || (n == 0 && error != 0)) {
            std::cerr << "src_callback_read() error: " << src_strerror(error) << "\n" << std::flush;
            return 1;
        }
        if (n == 0) break;
        for (long f = 0; f < n; ++f)
            out.write(envelope.next(output_block[2 * f], output_block[2 * f + 1]));
    }

    if (const int error = inputReadError())
        throw std::runtime_error(std::string("Cannot read standard input: ") +
                                 std::strerror(error));
    return 0;
}
