// The floor: the work every run must do whatever its filter costs. It reads standard input in
// 2048-byte blocks, resamples them with the same libsamplerate converter and ratio as iqenv,
// and writes one 4-byte value per output frame with its own write call. Nothing else.
//
//   floor SAMPLERATE < input.cf32 > /dev/null
#include <samplerate.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr long block_frames = 256;
constexpr long frames_per_read = 512;
float block[2 * block_frames];

long readBlock(void* /*context*/, float** data) {
    if (std::fread(block, sizeof block, 1, stdin) != 1) {
        *data = nullptr;
        return 0;
    }
    *data = block;
    return block_frames;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "Usage: floor SAMPLERATE\n");
        return 2;
    }
    // Reads as large as iqenv's, so that the floor is not slower for want of a buffer.
    static char input_buffer[1 << 16];
    std::setvbuf(stdin, input_buffer, _IOFBF, sizeof input_buffer);
    const double samplerate = std::strtod(argv[1], nullptr);
    const float ratio = static_cast<float>(24000.0 / samplerate);
    int error = 0;
    SRC_STATE* state = src_callback_new(readBlock, SRC_SINC_MEDIUM_QUALITY, 2, &error, nullptr);
    if (state == nullptr) {
        std::fprintf(stderr, "Error: %s\n", src_strerror(error));
        return 1;
    }
    static float frames[2 * frames_per_read];
    for (;;) {
        const long n = src_callback_read(state, ratio, frames_per_read, frames);
        if (n <= 0) break;
        for (long f = 0; f < n; ++f)
            if (write(STDOUT_FILENO, &frames[2 * f], sizeof(float)) != sizeof(float)) return 1;
    }
    src_delete(state);
    return 0;
}
