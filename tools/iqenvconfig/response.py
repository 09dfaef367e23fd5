"""What a configuration does, from input frequency to iqenv's output: the channel it passes,
its flatness, the image and the worst rejection. The text that reports it is in report.py."""
import math
from dataclasses import dataclass

import numpy as np
from scipy.ndimage import uniform_filter1d

from .chain import taps_response, taps_span, taps_spectrum
from .units import fold

PASS_RIPPLE_DB = 0.5
BEAT_DB = 40.0  # a second product within this of the first beats by 1 % or more

SWEEP_POINTS_MAX = 1 << 20  # the coarse sweep over the whole band
SPAN_REACH = 16e3  # either side of a product's frequency, beyond what the resampler passes
SPAN_STEP = 5.0
EDGE_HZ = 1e-6  # a frequency this near the pass band's edge is on it (grids land a rounding off)


def sweep(chain):
    """The level at iqenv's output over the whole band, coarse at high rates.

    Parameters
    ----------
    chain : Chain
        A chain with taps; its sample rate sets how many points the sweep takes.

    Returns
    -------
    (numpy.ndarray, numpy.ndarray)
        Input frequencies in hertz, ascending from -fs/2, and the level there per unit input.
    """
    fs = chain.samplerate
    points = 1 << int(math.ceil(math.log2(max(min(fs / 20.0, SWEEP_POINTS_MAX),
                                              4 * len(chain.taps), 4096))))
    g, gain = taps_spectrum(chain.taps, fs, points)
    return g, chain.level(g, np.abs(gain))


def passing_spans(chain):
    """The frequency spans where tones reach the output: a uniform grid around each product's
    frequency (merged where they overlap, the whole circle at low rates).

    Parameters
    ----------
    chain : Chain
        A chain with taps; its mixer's products say where the spans lie.

    Returns
    -------
    list of (numpy.ndarray, numpy.ndarray, bool)
        Per span: input frequencies in hertz, |T| there, and whether it is the whole circle.
    """
    fs = chain.samplerate
    if 2 * SPAN_REACH * len(chain.products) >= fs:
        step = min(SPAN_STEP, fs / 4096)
        return [taps_span(chain.taps, fs, -fs / 2, int(round(fs / step)), step) + (True,)]
    spans = sorted((fold(-shift, fs) - SPAN_REACH, fold(-shift, fs) + SPAN_REACH)
                   for shift, _ in chain.products)
    merged = [list(spans[0])]
    for lo, hi in spans[1:]:
        if lo <= merged[-1][1]:
            merged[-1][1] = max(merged[-1][1], hi)
        else:
            merged.append([lo, hi])
    return [taps_span(chain.taps, fs, lo, int((hi - lo) / SPAN_STEP), SPAN_STEP) + (False,)
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
    # The loudest tone outside the pass band against the pass band's edge on its side: above
    # 0 dB something outside comes through louder than the edge.
    above_edge_db: float = -math.inf
    above_edge_at: float = math.nan  # where that is, hertz
    dc_db: float = math.inf  # a tone at 0 Hz below the centre


def assess(chain, center, bandwidth, extra=(), flat=None):
    """The promise's figures, on a dense grid around everything that passes, exactly evaluated.

    Parameters
    ----------
    chain : Chain
        A chain with taps.
    center : float
        Centre of the channel, hertz.
    bandwidth : float
        Width of the channel, hertz: the pass band is within bandwidth/2 of the centre (unless
        `flat` says otherwise), the stop band beyond one bandwidth.
    extra : array_like
        More input frequencies (hertz) to evaluate exactly.
    flat : float or None
        Width of the pass band, hertz, centred on `center`: less than `bandwidth` where a
        notch takes 0 Hz (default: `bandwidth`).

    Returns
    -------
    Assessment
    """
    fs = chain.samplerate
    center = fold(center, fs)
    flat = bandwidth if flat is None else flat
    pieces = []
    for lo, count, step in ((center - flat / 2, 801, flat / 800),
                            (center - 2 * bandwidth, 801, bandwidth / 200)):
        pieces.append(taps_span(chain.taps, fs, lo, count, step))
    pieces += [(g, taps) for g, taps, _ in passing_spans(chain)]
    if len(extra):
        pieces.append((np.asarray(extra, dtype=np.float64),
                       np.abs(taps_response(chain.taps, fs, extra))))
    g = fold(np.concatenate([p[0] for p in pieces]), fs)
    taps = np.concatenate([p[1] for p in pieces])
    products = chain.products_at(g, taps)
    levels = chain.level(g, taps)
    sweep_g, sweep_levels = sweep(chain)
    g, levels = np.concatenate((g, sweep_g)), np.concatenate((levels, sweep_levels))
    level_c = float(chain.level(np.array([center]))[0])
    signed = fold(g - center, fs)
    d = np.abs(signed)
    passing = d <= flat / 2 + EDGE_HZ  # the edge itself, wherever rounding puts it
    stop = d > bandwidth
    # The first piece starts and ends exactly on the pass band's edges.
    edge = np.where(signed > 0, levels[800], levels[0])
    with np.errstate(divide="ignore", invalid="ignore"):
        above = np.where(passing, -np.inf, 20 * np.log10(levels / edge))
    loudest = int(np.argmax(above))
    with np.errstate(divide="ignore"):
        ripple = float(np.max(np.abs(20 * np.log10(levels[passing] / level_c))))
        worst = int(np.argmax(np.where(stop, levels, -1)))
        rejection = float(-20 * np.log10(levels[worst] / level_c)) if stop.any() else math.inf
        image = image_db = None
        second_db = math.inf
        if len(products) == 2:
            p = np.abs(fold(g[:801] - center, fs)) <= flat / 2
            weak = np.minimum(products[0], products[1])[:801][p]
            strong = np.maximum(products[0], products[1])[:801][p]
            second_db = float(np.min(20 * np.log10(strong / weak)))
            (s1, _), (s2, _) = chain.products
            main = int(np.argmax(chain.paths(np.array([center]))[:, 0]))
            image = float(fold(center + (s1 - s2 if main == 0 else s2 - s1), fs))
            image_db = float(-20 * np.log10(chain.level(np.array([image]))[0] / level_c))
    with np.errstate(divide="ignore"):
        dc_db = float(-20 * np.log10(chain.level(np.array([0.0]))[0] / level_c))
    return Assessment(level_c, ripple, rejection, float(g[worst]), image, image_db, second_db,
                      float(above[loudest]), float(g[loudest]), dc_db)


RIVAL_DB = 6.0  # another band passed within this of the channel leaves the channel ambiguous


def find_channel(chain, center=None):
    """The channel the chain passes: where it is, how wide, and whether the response alone
    leaves it ambiguous.

    Parameters
    ----------
    chain : Chain
        A chain with taps, not all 0.
    center : float or None
        Where the channel is, hertz, when known; None to take it where the mean level over
        3 kHz is highest: a narrow peak elsewhere (taps that rise where the resampler removed
        everything under the mixer they were made for) is not it.

    Returns
    -------
    (float, float, float, float or None)
        Centre, width within PASS_RIPPLE_DB and -3 dB width, all in hertz; and where another
        band comes through within RIVAL_DB of the channel's mean level farther than its -3 dB
        width from it, hertz (None if nowhere, or if `center` is given).
    """
    scored = []
    for g, taps, circle in passing_spans(chain):
        levels = chain.level(g, taps)
        window = max(int(3000 / (g[1] - g[0])), 1)
        scored.append((uniform_filter1d(levels, window, mode="wrap" if circle else "constant"),
                       g, levels, circle))
    if center is None:
        best = max((score[int(np.argmax(score))], k, int(np.argmax(score)))
                   for k, (score, *_) in enumerate(scored))
    else:  # the span nearest the given centre, at the point nearest it
        best = min((float(np.min(np.abs(fold(g - center, chain.samplerate)))), k,
                    int(np.argmin(np.abs(fold(g - center, chain.samplerate)))))
                   for k, (_, g, _, _) in enumerate(scored))
    _, g, levels, circle = scored[best[1]]
    start = best[2]
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
    if center is None:
        centre = fold(float(g[lo3] + (width3 - spacing) / 2), chain.samplerate)
    else:
        centre = float(center)
        width3 = 2 * min(abs(fold(float(g[lo3]) - centre, chain.samplerate)), width3)
    c = int(round((centre - g[0]) / spacing)) % n
    floor = levels[c] * 10 ** (-PASS_RIPPLE_DB / 20)
    half = min((c - walk(c, -1, floor)) % n, (walk(c, +1, floor) - c) % n) * spacing
    rival = None
    if center is None:
        top = scored[best[1]][0][start]
        for score, g2, _, _ in scored:
            far = np.abs(fold(g2 - centre, chain.samplerate)) > max(width3, 3000)
            if far.any() and np.max(score[far]) >= top * 10 ** (-RIVAL_DB / 20):
                rival = float(g2[far][int(np.argmax(score[far]))])
    return centre, 2 * half, width3, rival


@dataclass
class ChannelSummary:
    """What a chain does to the channel it passes: the figures `show` and `design` report."""

    centre: float  # hertz
    width: float  # within PASS_RIPPLE_DB, hertz
    width3: float  # -3 dB width, hertz
    assessment: Assessment  # the stop band beyond one -3 dB width: a design's lies within it
    flat: Assessment  # over the width within PASS_RIPPLE_DB
    arrives_at: float  # where the channel's main product reaches the output, hertz
    second_at: float  # where its second product does (None with one product)
    beat_db: float  # any tone within 6 dB of the channel's level: its second product below
    #                 its first, at the least (inf with one product)
    rival: float = None  # where another band passes about as much, hertz (None: nowhere)


def summarise(chain, center=None, bandwidth=None, passband=None):
    """The channel a chain passes and what it does to it.

    Parameters
    ----------
    chain : Chain
        A chain with taps (all 0 allowed).
    center : float or None
        The channel's centre, hertz, when known; else found from the response.
    bandwidth : float or None
        With `center`: the channel's width, hertz, beyond which the rejection is measured;
        else the -3 dB width.
    passband : float or None
        With `bandwidth`: the width of the pass band, hertz, over which the ripple is
        measured (default: `bandwidth`); else the width within PASS_RIPPLE_DB.

    Returns
    -------
    ChannelSummary or None
        None when every tap is 0: nothing reaches the output.
    """
    if not np.any(chain.taps):
        return None
    fs = chain.samplerate
    centre, width, width3, rival = find_channel(chain, center)
    if bandwidth is not None:
        width, width3 = bandwidth if passband is None else passband, bandwidth
    # Beyond one -3 dB width: the stop band a design promised lies within it.
    a = assess(chain, centre, width3)
    flat = assess(chain, centre, width)
    main = int(np.argmax(chain.paths(np.array([centre]))[:, 0]))
    at = fold(centre + chain.products[main][0], fs)
    second_at, beat_db = None, math.inf
    if len(chain.products) == 2:
        second_at = fold(centre + chain.products[1 - main][0], fs)
        # Any tone that comes through within 6 dB of the channel's level, not only the channel's.
        g, taps = (np.concatenate(x) for x in list(zip(*passing_spans(chain)))[:2])
        products = chain.products_at(g, taps)
        strong = np.maximum(*products)
        loud = chain.level(g, taps) >= a.level * 10 ** (-6 / 20)
        with np.errstate(divide="ignore"):
            beat_db = min(flat.second_db, float(np.min(20 * np.log10(
                strong[loud] / np.minimum(*products)[loud]))))
    return ChannelSummary(centre, width, width3, a, flat, at, second_at, beat_db, rival)
