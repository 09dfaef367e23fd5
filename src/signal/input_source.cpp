#include "input_source.h"

#include <unistd.h>

#include <complex>
#include <vector>

#include "../config.h"
#include "block_reader.h"
#include "decimator.h"
#include "fir_filter.h"
#include "mixer.h"
#include "oscillator.h"
#include "resampler.h"

namespace {

// Standard input as the resampler takes it: whole blocks, filtered, then scaled by the cosine,
// then decimated where the rate is too high for the resampler. Each step keeps its own output
// buffer, so the frames handed on stay valid until the next call, as the resampler needs.
class InputStage {
  public:
    // Everything afresh from cfg: the filter's taps and history, the phase at sample 0, and a
    // reader that has not seen an earlier run's end. All the memory is allocated here.
    void start() {
        fir.init(cfg.taps);
        oscillator_ = CosineOscillator(cfg.frequency, cfg.samplerate);
        reader_ = BlockReader(STDIN_FILENO);
        mixed_.assign(block_size, std::complex<float>(0.0f, 0.0f));
        factors_.assign(block_size, 0.0f);
        const uint32_t factor = decimationFor(cfg.samplerate);
        decimating_ = factor > 1;
        if (decimating_) {
            decimator_.init(cfg.samplerate, factor);
            decimated_.assign(block_size, std::complex<float>(0.0f, 0.0f));
        }
    }

    // The next block's two-channel frames (real, imaginary) and their count; 0 frames and
    // null at the end of input.
    Frames next() {
        if (!decimating_) {
            if (!mix()) return {nullptr, 0};
            return {reinterpret_cast<float*>(mixed_.data()), block_size};
        }
        // At least half the buffer per call (short of the end), so that the resampler is not
        // called back for every few frames; one block adds at most block_size / 2 + 1.
        size_t count = 0;
        while (count < decimated_.size() / 2 && mix())
            count += decimator_.process(mixed_.data(), block_size, decimated_.data() + count);
        if (count == 0) return {nullptr, 0};
        return {reinterpret_cast<float*>(decimated_.data()), count};
    }

    int readError() const { return reader_.error(); }

  private:
    // The next block filtered and scaled into mixed_; false at the end of input.
    bool mix() {
        const std::complex<float>* block = reader_.next();
        if (block == nullptr) return false;
        fir.process(block, mixed_.data(), block_size);
        oscillator_.next(factors_.data(), block_size);
        scaleBlock(mixed_.data(), factors_.data(), block_size);
        return true;
    }

    BlockReader reader_{STDIN_FILENO};
    CosineOscillator oscillator_;
    std::vector<std::complex<float>> mixed_;  // the filter's output, scaled in place
    std::vector<float> factors_;
    bool decimating_ = false;
    Decimator decimator_;
    std::vector<std::complex<float>> decimated_;  // the decimator's output
};

InputStage input;

}  // namespace

void startInput() {
    input.start();
}

long stdin_callback(void* /*cb_data*/, float** data) {
    const Frames frames = input.next();
    *data = frames.data;
    return static_cast<long>(frames.count);
}

int inputReadError() {
    return input.readError();
}
