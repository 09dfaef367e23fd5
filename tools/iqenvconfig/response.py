"""What a configuration does, from input frequency to iqenv's output, and the lines that say it."""
import math
from dataclasses import dataclass

import numpy as np

from .resampler import decimation_for

PASS_RIPPLE_DB = 0.5
BEAT_DB = 40.0  # a second product within this of the first beats by 1 % or more

# What a tap costs against the rest of a run, from `make bench` (README, quiet run): the floor
# (resampling, input and output alone) took 3.89 s of CPU for 24e6 input samples; the FIR kernel
# ran 8.0e9 complex multiply-adds per second at 256 taps.
FLOOR_SECONDS_PER_SAMPLE = 3.89 / 24e6
FIR_MACS_PER_SECOND = 8.0e9
# Above the resampler's rates, everything but the taps (input, cosine, decimation, resampling
# what is left, output): 0.33 s for 40e6 samples at 20 MS/s, less 8 taps' share.
DECIMATED_SECONDS_PER_SAMPLE = 0.33 / 40e6 - 8 / FIR_MACS_PER_SECOND


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


def fold(x, samplerate):
    return (np.asarray(x, dtype=np.float64) + samplerate / 2) % samplerate - samplerate / 2


def format_hz(hz):
    a = abs(hz)
    if a >= 1e6:
        return "%.6g MHz" % (hz / 1e6)
    if a >= 1e3:
        return "%.6g kHz" % (hz / 1e3)
    return "%.6g Hz" % hz


def cost(num_taps, samplerate):
    """(complex multiply-adds per second, their CPU time as a share of the floor's)."""
    macs = num_taps * samplerate
    return macs, (macs / FIR_MACS_PER_SECOND) / (samplerate * FLOOR_SECONDS_PER_SAMPLE)


def cost_line(num_taps, samplerate):
    macs, share = cost(num_taps, samplerate)
    line = (f"  Cost : {num_taps} taps x {samplerate} samples/s = {macs:.3g} complex "
            "multiply-adds per second; expected CPU time ")
    factor = decimation_for(samplerate)
    if factor > 1:  # no floor at this rate: the resampler alone would refuse it
        seconds = macs / FIR_MACS_PER_SECOND + samplerate * DECIMATED_SECONDS_PER_SAMPLE
        return line + (f"about {seconds:.2g} s per second of input, with the decimation by "
                       f"{factor} (figures from make bench)")
    return line + (f"about {1 + share:.3f} x the floor's (resampling, input and output alone; "
                   "figures from make bench)")


SWEEP_POINTS_MAX = 1 << 20  # the coarse sweep over the whole band
WINDOW_REACH = 16e3  # either side of a product's frequency, beyond what the resampler passes
WINDOW_STEP = 5.0


def taps_span(taps, samplerate, lo, count, step):
    """(frequencies lo, lo + step, ..., and |T| there), exact, by a chirp z-transform."""
    from scipy.signal import zoom_fft

    g = lo + step * np.arange(count)
    gain = zoom_fft(np.asarray(taps, dtype=np.complex128), [lo, lo + step * count], m=count,
                    fs=samplerate, endpoint=False)
    return g, np.abs(gain)


def sweep(chain):
    """(input frequencies ascending over the whole band, level there): coarse at high rates."""
    fs = chain.samplerate
    points = 1 << int(math.ceil(math.log2(max(min(fs / 20.0, SWEEP_POINTS_MAX),
                                              4 * len(chain.taps), 4096))))
    g = np.fft.fftshift(np.fft.fftfreq(points, 1.0 / fs))
    return g, chain.level(g, np.abs(np.fft.fftshift(np.fft.fft(chain.taps, points))))


def windows(chain):
    """Where tones reach the output: a uniform grid around each product's frequency (merged
    where they overlap, the whole circle at low rates), as (frequencies, |T|, whole circle)."""
    fs = chain.samplerate
    if 2 * WINDOW_REACH * len(chain.products) >= fs:
        step = min(WINDOW_STEP, fs / 4096)
        return [taps_span(chain.taps, fs, -fs / 2, int(round(fs / step)), step) + (True,)]
    spans = sorted((float(fold(-shift, fs)) - WINDOW_REACH, float(fold(-shift, fs)) + WINDOW_REACH)
                   for shift, _ in chain.products)
    merged = [list(spans[0])]
    for lo, hi in spans[1:]:
        if lo <= merged[-1][1]:
            merged[-1][1] = max(merged[-1][1], hi)
        else:
            merged.append([lo, hi])
    return [taps_span(chain.taps, fs, lo, int((hi - lo) / WINDOW_STEP), WINDOW_STEP) + (False,)
            for lo, hi in merged]


@dataclass
class Assessment:
    """What a chain does to a channel, from its response at iqenv's output."""

    level: float  # at the centre, per unit input
    ripple_db: float  # largest deviation within the pass band from the level at the centre
    rejection_db: float  # smallest attenuation beyond one bandwidth from the centre
    worst_at: float  # where that is, hertz
    image: float  # where the centre's image lies (None with one product)
    image_db: float
    second_db: float  # the channel's second product below its first, at the least (inf: none)


def assess(chain, center, bandwidth, extra=()):
    """The promise's figures, on a dense grid around everything that passes, exactly evaluated."""
    fs = chain.samplerate
    center = alias(center, fs)
    pieces = []
    for lo, count, step in ((center - bandwidth / 2, 801, bandwidth / 800),
                            (center - 2 * bandwidth, 801, bandwidth / 200)):
        pieces.append(taps_span(chain.taps, fs, lo, count, step))
    pieces += [(g, taps) for g, taps, _ in windows(chain)]
    if len(extra):
        from .chain import taps_response

        pieces.append((np.asarray(extra, dtype=np.float64),
                       np.abs(taps_response(chain.taps, fs, extra))))
    g = fold(np.concatenate([p[0] for p in pieces]), fs)
    taps = np.concatenate([p[1] for p in pieces])
    products = chain.products_at(g, taps)
    levels = chain.level(g, taps)
    sweep_g, sweep_levels = sweep(chain)
    g, levels = np.concatenate((g, sweep_g)), np.concatenate((levels, sweep_levels))
    level_c = float(chain.level(np.array([center]))[0])
    d = np.abs(fold(g - center, fs))
    passing = d <= bandwidth / 2
    stop = d > bandwidth
    with np.errstate(divide="ignore"):
        ripple = float(np.max(np.abs(20 * np.log10(levels[passing] / level_c))))
        worst = int(np.argmax(np.where(stop, levels, -1)))
        rejection = float(-20 * np.log10(levels[worst] / level_c)) if stop.any() else math.inf
        image = image_db = None
        second_db = math.inf
        if len(products) == 2:
            p = np.abs(fold(g[:801] - center, fs)) <= bandwidth / 2
            weak = np.minimum(products[0], products[1])[:801][p]
            strong = np.maximum(products[0], products[1])[:801][p]
            second_db = float(np.min(20 * np.log10(strong / weak)))
            (s1, _), (s2, _) = chain.products
            main = int(np.argmax(chain.paths(np.array([center]))[:, 0]))
            image = float(fold(center + (s1 - s2 if main == 0 else s2 - s1), fs))
            image_db = float(-20 * np.log10(chain.level(np.array([image]))[0] / level_c))
    return Assessment(level_c, ripple, rejection, float(g[worst]), image, image_db, second_db)


def find_channel(chain):
    """(centre, width within PASS_RIPPLE_DB, -3 dB width) of the channel the chain passes.

    The channel is where the mean level over 3 kHz is highest: a narrow peak elsewhere
    (taps that rise where the resampler removed everything under the mixer they were made for)
    is not it.
    """
    from scipy.ndimage import uniform_filter1d

    best = None
    for g, taps, circle in windows(chain):
        levels = chain.level(g, taps)
        window = max(int(3000 / (g[1] - g[0])), 1)
        score = uniform_filter1d(levels, window, mode="wrap" if circle else "constant")
        i = int(np.argmax(score))
        if best is None or score[i] > best[0]:
            best = (score[i], g, levels, circle, i)
    _, g, levels, circle, start = best
    n, spacing = len(g), g[1] - g[0]

    def walk(i, step, floor):
        for _ in range(n - 1):
            j = (i + step) % n if circle else min(max(i + step, 0), n - 1)
            if levels[j] < floor or j == i:
                return i
            i = j
        return i

    lo3 = walk(start, -1, levels[start] * 10 ** (-3 / 20))
    width3 = ((walk(start, +1, levels[start] * 10 ** (-3 / 20)) - lo3) % n + 1) * spacing
    centre = float(fold(g[lo3] + (width3 - spacing) / 2, chain.samplerate))
    c = int(round((centre - g[0]) / spacing)) % n
    floor = levels[c] * 10 ** (-PASS_RIPPLE_DB / 20)
    half = min((c - walk(c, -1, floor)) % n, (walk(c, +1, floor) - c) % n) * spacing
    return centre, 2 * half, width3


def describe(chain):
    """Lines telling what the chain does, for show and design."""
    fmt = format_hz
    fs = chain.samplerate
    after = "".join(f"{stage.name}, " for stage in chain.stages[:-1])
    lines = ["Chain response, input frequency to iqenv's output (taps, mixer, "
             f"{after}resampler to {chain.output_rate:g}/s):"]
    if not np.any(chain.taps):
        return lines + ["  Every tap is 0: nothing reaches the output"]
    centre, width, width3 = find_channel(chain)
    # Beyond one -3 dB width: the stop band a design promised lies within it.
    a = assess(chain, centre, width3)
    flat = assess(chain, centre, width)
    level_db = 20 * math.log10(a.level)
    lines.append(f"  Channel : centre {fmt(centre)}, level {a.level:.4g} ({level_db:.1f} dB); "
                 f"within {PASS_RIPPLE_DB:g} dB over {fmt(width)}, -3 dB width {fmt(width3)}")
    f = chain.frequency
    main = int(np.argmax(chain.paths(np.array([centre]))[:, 0]))
    at = fold(centre + chain.products[main][0], fs)
    mixer = f"  Mixer at {fmt(abs(f))}: the channel reaches the output at {fmt(at)}"
    if len(chain.products) == 1:
        lines.append(mixer + " (one product: the cosine is +-1 throughout)")
    else:
        second = fold(centre + chain.products[1 - main][0], fs)
        lines.append(mixer + f"; its second product, at {fmt(second)}, is "
                     f"{flat.second_db:.1f} dB down")
        lines.append(f"  Image : {fmt(a.image)}, {a.image_db:.1f} dB down")
    lines.append(f"  Worst rejection beyond {fmt(width3)} from the centre : "
                 f"{a.rejection_db:.1f} dB, at {fmt(a.worst_at)}")
    lines.append(cost_line(len(chain.taps), fs))
    # Any tone that comes through within 6 dB of the channel's level, not only the channel's.
    if len(chain.products) == 2:
        g, taps = (np.concatenate(x) for x in list(zip(*windows(chain)))[:2])
        products = chain.products_at(g, taps)
        strong = np.maximum(*products)
        loud = chain.level(g, taps) >= a.level * 10 ** (-6 / 20)
        with np.errstate(divide="ignore"):
            second = min(flat.second_db, float(np.min(20 * np.log10(
                strong[loud] / np.minimum(*products)[loud]))))
        if second < BEAT_DB:
            lines.append(f"  Warning: the channel's second product falls inside the resampler's "
                         f"band: tones beat at {fmt(2 * abs(f))} (the second product only "
                         f"{second:.1f} dB below the first); iqenv-config design chooses a "
                         "mixer without a beat")
    return lines
