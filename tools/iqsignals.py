"""Synthetic IQ signals, band-pass taps and configuration files for iqenv's demo and tests."""
import os
import sys

import numpy as np

# The configuration package lies beside this file; make it importable however this module is.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from iqenvconfig import configfile  # noqa: E402
from iqenvconfig.formats import FORMATS  # noqa: E402
from iqenvconfig.facts import output_rate  # noqa: E402

write_config = configfile.write_config


def bandpass_taps(samplerate, center, bandwidth, num_taps):
    """Complex band-pass: a Hamming-windowed sinc low-pass, -6 dB at +-bandwidth/2, at `center`."""
    import scipy.signal

    lowpass = scipy.signal.firwin(num_taps, bandwidth / 2, window="hamming", fs=samplerate,
                                  scale=False)
    shift = np.exp(2j * np.pi * (center / samplerate) * np.arange(num_taps))
    return (lowpass / lowpass.sum() * shift).astype(np.complex64)


def am_signal(samplerate, seconds, offset, tone, depth, amplitude=1.0, noise=0.0, seed=1):
    """A carrier at `offset` hertz, amplitude-modulated by a `tone` hertz sine."""
    t = np.arange(int(samplerate * seconds)) / samplerate
    envelope = amplitude * (1 + depth * np.sin(2 * np.pi * tone * t))
    return carrier(samplerate, offset, envelope) + complex_noise(len(t), noise, seed)


def carrier(samplerate, offset, envelope):
    """A complex carrier at `offset` hertz whose amplitude follows `envelope`, one per sample."""
    t = np.arange(len(envelope)) / samplerate
    return (np.asarray(envelope) * np.exp(2j * np.pi * offset * t)).astype(np.complex64)


def complex_noise(length, sigma, seed):
    """White complex Gaussian noise, `sigma` per component (zeros when sigma is 0)."""
    if not sigma:
        return np.zeros(length, dtype=np.complex64)
    rng = np.random.default_rng(seed)
    return (sigma * (rng.standard_normal(length) + 1j * rng.standard_normal(length))).astype(
        np.complex64)


def tone_of(values, rate=None):
    """Strongest frequency in `values` (hertz) and its peak amplitude; `rate`, values per
    second, is iqenv's output rate by default."""
    rate = output_rate() if rate is None else rate
    values = np.asarray(values, dtype=np.float64)
    values = values - values.mean()
    window = np.hanning(len(values))
    spectrum = np.abs(np.fft.rfft(values * window))
    peak = int(np.argmax(spectrum[1:])) + 1
    # Refine the peak between bins by a parabola through its neighbours.
    a, b, c = np.log(spectrum[peak - 1 : peak + 2] + 1e-30)
    shift = 0.5 * (a - c) / (a - 2 * b + c)
    frequency = (peak + shift) * rate / len(values)
    # The amplitude at the refined frequency itself, free of the window's loss between bins.
    phasor = np.exp(-2j * np.pi * frequency / rate * np.arange(len(values)))
    amplitude = 2 * abs(np.sum(values * window * phasor)) / window.sum()
    return frequency, amplitude


def as_recorded(iq, fmt):
    """The bytes a receiver writes for `iq` (1.0 full scale) in the format `fmt` (one of
    iqenvconfig.formats.FORMATS): integers rounded, and clipped per component at full scale as
    a converter clips; floating point written as it is."""
    iq = np.asarray(iq, dtype=np.complex64)
    form = FORMATS[fmt]
    if form.floating:
        return iq.view(np.float32).astype(form.component).tobytes()
    parts = iq.view(np.float32).astype(np.float64) * form.full_scale + form.zero
    info = np.iinfo(form.component)
    return np.clip(np.round(parts), info.min, info.max).astype(form.component).tobytes()


def with_noise(raw, snr, seed, samplerate):
    """A cu8 recording's bytes `raw` with complex Gaussian noise added (as floats centred on
    127.5, then rounded and clipped back to cu8), `snr` dB below the recording's strongest
    millisecond: the largest 1 ms mean of |z - mean(z)|^2 over the noise power in the whole
    band of `samplerate` samples per second; the noise drawn from `seed`."""
    u8 = np.frombuffer(raw, dtype=np.uint8)[: len(raw) // 2 * 2].astype(np.float64)
    z = (u8[0::2] - 127.5) + 1j * (u8[1::2] - 127.5)
    power = np.cumsum(np.concatenate([[0.0], np.abs(z - z.mean()) ** 2]))
    window = samplerate // 1000
    strongest = np.max(power[window:] - power[:-window]) / window
    sigma = np.sqrt(strongest / 10 ** (snr / 10) / 2)  # per component, in counts
    noise = complex_noise(len(z), sigma / 127.5, seed)
    return as_recorded(z / 127.5 + noise, "cu8")


def frequency_keyed(samplerate, tones, bits, element, repeats=1, pause=0.02, jitter=0.0,
                    seed=1):
    """A frequency-keyed transmitter at amplitude 1: `bits` sent `repeats` times, each bit one
    element of `element` seconds on tones[bit] (hertz), the phase running on from tone to
    tone, with `pause` seconds of silence before, between and after the repeats. Each edge
    between elements moves by up to half of `jitter` elements either way, at random."""
    rng = np.random.default_rng(seed)
    period = len(bits) * element + pause
    frequency = np.zeros(int(round((pause + repeats * period) * samplerate)))
    on = np.zeros(len(frequency), dtype=bool)
    for r in range(repeats):
        moved = np.arange(len(bits) + 1) + jitter * rng.uniform(-0.5, 0.5, len(bits) + 1)
        edges = np.round((pause + r * period + element * moved) * samplerate).astype(int)
        for bit, a, b in zip(bits, edges[:-1], edges[1:]):
            frequency[a:b], on[a:b] = tones[bit], True
    phase = 2 * np.pi * np.cumsum(frequency) / samplerate
    return (on * np.exp(1j * phase)).astype(np.complex64)
