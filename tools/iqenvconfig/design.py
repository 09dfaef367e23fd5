"""Band-pass design: a real windowed low-pass from scipy.signal, shifted to the passband centre."""
import math
from dataclasses import dataclass

import numpy as np

from .response import alias, offset, response, to_db

# Transition-width factor (taps x width / samplerate) and the stop-band attenuation each window
# reliably reaches; kaiser is sized by scipy's own formula instead.
WINDOWS = {
    "kaiser": (None, 60.0),
    "hamming": (3.3, 50.0),
    "hann": (3.1, 40.0),
    "blackman": (5.5, 70.0),
    "blackmanharris": (6.0, 90.0),
}
PASS_RIPPLE_DB = 0.1
MAX_TAPS = 1 << 16


class DesignError(Exception):
    """Arguments that cannot give the promised filter."""


@dataclass
class Design:
    taps: np.ndarray  # complex64, as written to the file
    center: float  # within [-fs/2, fs/2)
    bandwidth: float
    transition: float
    window: str
    attenuation: float
    gain: float  # in the pass band, linear
    promised: bool  # the tap count was chosen here, so the band edges below are guaranteed

    @property
    def pass_edges(self):
        return self.center - self.bandwidth / 2, self.center + self.bandwidth / 2

    @property
    def stop_edges(self):
        half = self.bandwidth / 2 + self.transition
        return self.center - half, self.center + half


def _odd(n):
    n = max(int(math.ceil(n)), 1)
    return n if n % 2 else n + 1


def _signal():
    # scipy.signal takes longer to import than show and plot take to run: load it on demand.
    import scipy.signal

    return scipy.signal


def estimate_taps(samplerate, transition, window):
    factor, attenuation = WINDOWS[window]
    if factor is None:
        n, _ = _signal().kaiserord(attenuation, transition / (samplerate / 2))
        return _odd(n)
    return _odd(factor * samplerate / transition)


def shifted_lowpass(samplerate, center, cutoff, num_taps, window):
    """A windowed-sinc low-pass with its -6 dB point at `cutoff`, moved to `center` hertz."""
    if window == "kaiser":
        spec = ("kaiser", _signal().kaiser_beta(WINDOWS["kaiser"][1]))
    else:
        spec = window
    lowpass = _signal().firwin(num_taps, cutoff, window=spec, fs=samplerate, scale=False)
    lowpass /= lowpass.sum()
    k = np.arange(num_taps)
    shift = np.exp(2j * np.pi * (alias(center, samplerate) / samplerate) * k)
    return (lowpass * shift).astype(np.complex64)


def bandpass(samplerate, center, bandwidth, num_taps, window, transition):
    """Complex taps flat over center +- bandwidth/2, falling over `transition` hertz each side."""
    return shifted_lowpass(samplerate, center, bandwidth / 2 + transition / 2, num_taps, window)


def meets(design, samplerate):
    """Whether the taps keep the promise: pass band flat within the ripple, stop band down."""
    freqs, gain = response(design.taps, samplerate)
    db = to_db(gain)
    d = np.abs(offset(freqs, design.center, samplerate))
    gain_db = 20 * np.log10(design.gain)
    passband = db[d <= design.bandwidth / 2] - gain_db
    stopband = db[d >= design.bandwidth / 2 + design.transition] - gain_db
    return (
        passband.size > 0
        and np.all(np.abs(passband) <= PASS_RIPPLE_DB)
        and np.all(stopband <= -design.attenuation)
    )


def design(samplerate, center, bandwidth, num_taps=None, window="kaiser", gain=1.0):
    """Designs the band-pass; without num_taps, the fewest taps that keep the stated edges."""
    if window not in WINDOWS:
        raise ValueError(f"unknown window '{window}' (known: {', '.join(WINDOWS)})")
    if not (math.isfinite(bandwidth) and 0 < bandwidth < samplerate / 2):
        raise DesignError(
            f"Bandwidth must be above 0 and below half the sample rate ({samplerate / 2:g} Hz)"
        )
    if not math.isfinite(center):
        raise DesignError("Center is not a finite number")
    if not (math.isfinite(gain) and gain > 0):
        raise DesignError("Gain must be a finite number above 0")
    transition = bandwidth / 2
    center = alias(center, samplerate)
    attenuation = WINDOWS[window][1]
    make = lambda n: Design(  # noqa: E731
        (bandpass(samplerate, center, bandwidth, n, window, transition) * np.float32(gain)),
        center, bandwidth, transition, window, attenuation, gain, num_taps is None)
    if num_taps is not None:
        return make(num_taps)

    n = estimate_taps(samplerate, transition, window)
    while n <= MAX_TAPS:
        result = make(n)
        if meets(result, samplerate):
            return result
        n = _odd(n * 1.05)
    raise DesignError(
        f"This filter needs more than {MAX_TAPS} taps; widen the bandwidth or give --taps"
    )
