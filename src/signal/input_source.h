// The resampler's input: whole blocks of standard input, filtered, scaled by the cosine and,
// at rates above what the resampler takes, decimated.
#pragma once

#include <cstddef>

// Interleaved two-channel frames (real, imaginary) handed to the resampler.
struct Frames {
    float* data;
    size_t count;
};

// Sets the input stage up from the process-wide cfg and fir: the filter's taps, the block
// buffers, the oscillator, the decimator if the rate needs one (decimationFor) and the reader
// on standard input. Called before each run's first
// pull, so a run starts afresh even after an earlier one in the same process.
void startInput();

// The resampler's input callback, with a null context: returns the frames of the next block
// (or, decimated, of the next few) through *data, or 0 with *data null at the end of input.
// Never throws.
long stdin_callback(void* cb_data, float** data);

// The errno of a failed read of standard input, 0 if it ended normally.
int inputReadError();
