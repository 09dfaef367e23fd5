// The resampler's input: whole blocks of standard input, filtered and scaled by the cosine.
#pragma once

#include "block_reader.h"

// Prepares the callback's state from the process-wide configuration: the block buffer, the
// oscillator and the reader on standard input. Called before each run's first pull, so a run
// starts afresh even after an earlier one in the same process.
void startInput();

// The resampler's input callback: returns block_size two-channel frames (real, imaginary)
// through *data, or 0 with *data null at the end of input. Never throws.
long stdin_callback(void* cb_data, float** data);

// The errno of a failed read of standard input, 0 if it ended normally.
int inputReadError();
