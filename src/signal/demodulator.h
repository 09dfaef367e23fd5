// The run: resample the filtered input to 24000 samples per second and write the envelope.
#pragma once

// Streams standard input to standard output until the input ends. Returns the exit status:
// 0 when the resampler ran dry, 1 when it failed (its error line already printed). Throws
// std::runtime_error when standard input or standard output fails.
int runDemodulator();
