#include "input_source.h"

#include <unistd.h>

#include <vector>

#include "../config.h"
#include "fir_filter.h"
#include "mixer.h"
#include "oscillator.h"

extern FilterConfig cfg;
extern FIRFilter fir;

namespace {

std::vector<std::complex<float>> samples;
std::vector<float> factors;
CosineOscillator oscillator;
BlockReader reader(STDIN_FILENO);

}  // namespace

void startInput() {
    samples.assign(block_size, std::complex<float>(0.0f, 0.0f));
    factors.assign(block_size, 0.0f);
    oscillator = CosineOscillator(cfg.frequency, cfg.samplerate);
    reader = BlockReader(STDIN_FILENO);  // a reader that saw an earlier end would end this run
}

long stdin_callback(void* /*cb_data*/, float** data) {
    const std::complex<float>* block = reader.next();
    if (block == nullptr) {
        *data = nullptr;
        return 0;
    }
    fir.process(block, samples.data(), block_size);
    oscillator.next(factors.data(), block_size);
    scaleBlock(samples.data(), factors.data(), block_size);
    *data = reinterpret_cast<float*>(samples.data());
    return static_cast<long>(block_size);
}

int inputReadError() {
    return reader.error();
}
