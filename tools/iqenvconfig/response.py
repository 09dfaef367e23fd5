"""What a set of taps does: frequency response and the figures show and design report."""
from dataclasses import dataclass

import numpy as np

from .resampler import OUTPUT_RATE


def response(taps, samplerate, min_points=1 << 16):
    """(frequencies, complex gain) over -fs/2 ... fs/2, ascending, for y[n] = sum taps[k] x[n-k]."""
    taps = np.asarray(taps, dtype=np.complex128)
    points = max(min_points, 1 << int(np.ceil(np.log2(32 * max(len(taps), 1)))))
    gain = np.fft.fftshift(np.fft.fft(taps, points))
    freqs = np.fft.fftshift(np.fft.fftfreq(points, 1.0 / samplerate))
    return freqs, gain


def to_db(gain):
    with np.errstate(divide="ignore"):
        return 20 * np.log10(np.abs(gain))


def alias(frequency, samplerate):
    """The frequency within [-fs/2, fs/2) that a cosine or a tap shift at `frequency` acts on."""
    return (float(frequency) + samplerate / 2) % samplerate - samplerate / 2


def offset(freqs, center, samplerate):
    """Signed distance of each frequency from `center` around the circle of width fs."""
    return (np.asarray(freqs) - center + samplerate / 2) % samplerate - samplerate / 2


@dataclass
class Analysis:
    peak_db: float
    centre: float  # midpoint of the -3 dB band, hertz
    width_3db: float
    stop_db: float  # attenuation of the stop band below the peak (0: no stop band)
    stop_lo: float  # the stop band is the circle outside (stop_lo, stop_hi)
    stop_hi: float
    dc_gain: complex


def _walk(db, start, step, keep):
    """Index of the last sample from `start` in direction `step` for which keep(index) holds."""
    n, i = len(db), start
    for _ in range(n - 1):
        j = (i + step) % n
        if not keep(j):
            return i
        i = j
    return i


def _edge(freqs, db, inside, step, level, samplerate):
    """Frequency where the gain crosses `level` between `inside` and its neighbour, interpolated."""
    outside = (inside + step) % len(db)
    f0, f1 = freqs[inside], freqs[inside] + step * (samplerate / len(db))
    d0, d1 = db[inside], db[outside]
    t = 0.0 if d0 == d1 or not np.isfinite(d1) else (d0 - level) / (d0 - d1)
    return f0 + min(max(t, 0.0), 1.0) * (f1 - f0)


def analyse(taps, samplerate):
    freqs, gain = response(taps, samplerate)
    db = to_db(gain)
    p = int(np.argmax(db))
    peak = float(db[p])
    n = len(db)

    lo3 = _edge(freqs, db, _walk(db, p, -1, lambda j: db[j] >= peak - 3), -1, peak - 3, samplerate)
    hi3 = _edge(freqs, db, _walk(db, p, +1, lambda j: db[j] >= peak - 3), +1, peak - 3, samplerate)
    if hi3 < lo3:
        hi3 += samplerate
    width = min(hi3 - lo3, samplerate)
    centre = alias((lo3 + hi3) / 2, samplerate)

    # The main lobe ends at the first minimum past the -6 dB point on each side; everything
    # beyond it is the stop band, and its highest point sets the attenuation.
    def lobe_end(step):
        i = _walk(db, p, step, lambda j: db[j] >= peak - 6)
        return _walk(db, i, step, lambda j: db[j] <= db[(j - step) % n])

    left, right = lobe_end(-1), lobe_end(+1)
    lobe = np.zeros(n, dtype=bool)
    span = (right - left) % n
    lobe[(left + np.arange(span + 1)) % n] = True
    if lobe.all() or (~lobe).sum() < 2:
        return Analysis(peak, centre, width, 0.0, freqs[0], freqs[-1], complex(np.sum(taps)))
    stop = peak - float(db[~lobe].max())
    level = peak - stop
    stop_lo = _edge(freqs, db, _walk(db, p, -1, lambda j: db[j] > level), -1, level, samplerate)
    stop_hi = _edge(freqs, db, _walk(db, p, +1, lambda j: db[j] > level), +1, level, samplerate)
    return Analysis(peak, centre, width, stop, stop_lo, stop_hi, complex(np.sum(taps)))


def surviving_band(mixer, samplerate):
    """Input band that the cosine moves to within +-12 kHz of 0, where the resampler keeps it."""
    f = alias(mixer, samplerate)
    return f - OUTPUT_RATE / 2, f + OUTPUT_RATE / 2


def format_hz(hz):
    a = abs(hz)
    if a >= 1e6:
        return "%.6g MHz" % (hz / 1e6)
    if a >= 1e3:
        return "%.6g kHz" % (hz / 1e3)
    return "%.6g Hz" % hz


def describe(analysis, mixer, samplerate):
    """Lines telling what the taps do, for show and design."""
    a = analysis
    dc = abs(a.dc_gain)
    dc_db = "-inf" if dc == 0 else "%.1f" % (20 * np.log10(dc))
    lo, hi = surviving_band(mixer, samplerate)
    lines = [
        "Filter response:",
        f"  Passband centre : {format_hz(a.centre)} (peak gain {a.peak_db:.2f} dB)",
        f"  Passband width (-3 dB) : {format_hz(a.width_3db)}",
    ]
    if a.stop_db > 0:
        lines.append(
            f"  Stop-band attenuation : {a.stop_db:.1f} dB "
            f"(below {format_hz(a.stop_lo)} and above {format_hz(a.stop_hi)})"
        )
    else:
        lines.append("  Stop-band attenuation : none (no stop band)")
    lines += [
        f"  DC gain : {dc:.6g} ({dc_db} dB)",
        f"  Mixer at {format_hz(alias(mixer, samplerate))}: after resampling iqenv keeps "
        f"{format_hz(lo)} to {format_hz(hi)} and its image "
        f"{format_hz(-hi)} to {format_hz(-lo)}",
    ]
    return lines
