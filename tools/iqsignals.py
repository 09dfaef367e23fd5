"""Synthetic IQ signals, band-pass taps and configuration files for iqenv's demo and tests."""
import struct

import numpy as np

OUTPUT_RATE = 24000


def write_config(path, frequency, samplerate, taps, declared=None):
    """Writes a configuration file: float32 frequency, uint32 rate, uint32 count, taps."""
    taps = np.asarray(taps, dtype=np.complex64)
    count = len(taps) if declared is None else declared
    with open(path, "wb") as f:
        f.write(struct.pack("<fII", frequency, samplerate, count))
        f.write(taps.tobytes())


def bandpass_taps(samplerate, center, bandwidth, num_taps):
    """Complex band-pass: a Hamming-windowed sinc low-pass shifted to `center` hertz."""
    k = np.arange(num_taps)
    mid = (num_taps - 1) / 2
    cutoff = bandwidth / 2 / samplerate
    lowpass = 2 * cutoff * np.sinc(2 * cutoff * (k - mid)) * np.hamming(num_taps)
    lowpass /= lowpass.sum()
    return (lowpass * np.exp(2j * np.pi * center / samplerate * k)).astype(np.complex64)


def am_signal(samplerate, seconds, offset, tone, depth, amplitude=1.0, noise=0.0, seed=1):
    """A carrier at `offset` hertz, amplitude-modulated by a `tone` hertz sine."""
    n = np.arange(int(samplerate * seconds))
    t = n / samplerate
    envelope = amplitude * (1 + depth * np.sin(2 * np.pi * tone * t))
    iq = envelope * np.exp(2j * np.pi * offset * t)
    if noise:
        rng = np.random.default_rng(seed)
        iq = iq + noise * (rng.standard_normal(len(n)) + 1j * rng.standard_normal(len(n)))
    return iq.astype(np.complex64)


def tone_of(values, rate=OUTPUT_RATE):
    """Strongest frequency in `values` (hertz) and its peak amplitude."""
    values = np.asarray(values, dtype=np.float64)
    values = values - values.mean()
    window = np.hanning(len(values))
    spectrum = np.abs(np.fft.rfft(values * window))
    peak = int(np.argmax(spectrum[1:])) + 1
    # Refine the peak between bins by a parabola through its neighbours.
    a, b, c = np.log(spectrum[peak - 1 : peak + 2] + 1e-30)
    shift = 0.5 * (a - c) / (a - 2 * b + c)
    frequency = (peak + shift) * rate / len(values)
    amplitude = 2 * spectrum[peak] / window.sum()
    return frequency, amplitude
