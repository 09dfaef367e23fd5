"""One burst's magnitudes sliced into pulses and gaps.

Each burst is sliced on its own: its pulse level and the level between its pulses are measured
in it, the smoothing is the longest that still resolves its shortest elements (a filter matched
to the symbol), the threshold lies halfway between the levels with hysteresis either side, and
each edge is placed where the smoothed magnitude crosses the threshold, between samples.
"""
from dataclasses import dataclass

import numpy as np

from .envelope import smooth

SMOOTHING = (1, 2, 3, 4, 5, 6, 8, 10, 12, 16, 20, 24, 32, 40, 48)  # spans tried (samples)
HYSTERESIS = 0.2  # share of the pulse level above the noise, either side of the threshold
GLITCH_SAMPLES = 1.5  # elements shorter than this, or half the smoothing, are glitches
CLEAN = 0.05  # a slicing that dropped at most this share of its edges as glitches is clean
MIN_EDGES = 4  # two pulses
LEAST_NOISE_SAMPLES = 120  # samples away from the pulses that measure the noise in a burst
RAYLEIGH_SPREAD = np.sqrt(2 - np.pi / 2)  # noise magnitude's spread over sigma per part
LEAST_SNR_DB = -30.0  # the weakest SNR measured


@dataclass
class Levels:
    """What slicing at one smoothing found: edge times (samples, rising and falling in turn);
    the pulse level, the level between pulses, the threshold, and the spreads of the smoothed
    magnitude about each level (magnitudes); and the elements and lone samples dropped as
    glitches."""
    edges: np.ndarray
    on: float
    off: float
    threshold: float
    on_spread: float
    off_spread: float
    glitches: int
    spikes: int
    open_end: bool  # the last pulse was still on at the end: its fall is the end of `x`

    @property
    def dropped(self):
        """Everything left out as too short: elements and lone samples."""
        return self.glitches + self.spikes

    @property
    def separation(self):
        """How far apart the two levels stand, in their spreads: each level lies this many of
        its own spreads from the threshold that errs least (inf where neither spreads)."""
        spreads = self.on_spread + self.off_spread
        return (self.on - self.off) / spreads if spreads > 0 else np.inf


@dataclass
class Sliced:
    """A burst sliced: its edges (samples from the stretch's start, rising and falling in turn),
    the smoothing (samples), the pulse level, the noise's level and spread (input units), the
    glitches dropped, the levels' separation at the smoothing (Levels.separation), and whether
    the smoothing resolved the burst's elements (a span that kept its shortest ones, and no
    more glitches dropped than edges kept)."""
    edges: np.ndarray
    span: int
    on: float
    noise: float
    spread: float
    glitches: int
    separation: float
    resolved: bool

    def snr_db(self):
        """Pulse power over noise power in iqenv's channel, dB (see snr_db)."""
        return snr_db(self.on, self.noise, self.spread)


def slice_stretch(x, active, noise, noise_spread, cut=False):
    """Slices one burst.

    Parameters
    ----------
    x : array of float
        The burst's magnitudes, with the quiet kept either side.
    active : int
        Samples from its first activity to its last.
    noise, noise_spread : float
        The floor's mean magnitude and its spread, unsmoothed, where the burst began.
    cut : bool
        Whether the burst's end was not seen: a pulse still on at the end of `x` is then left
        out, its width unknown (otherwise it ends there).

    Returns
    -------
    Sliced or None
        None where fewer than two pulses stand out at any smoothing.
    """
    tried = []
    for span in SMOOTHING:
        if span * 2 > active:
            break
        found = slice_levels(x, span, noise)
        if found is not None and len(found.edges) >= MIN_EDGES:
            widths = np.diff(found.edges)
            tried.append((span, found, np.percentile(widths, 5), _shortest(widths)))
            if choose_smoothing(tried)[0] < span and _qualifies(tried[-1]):
                break  # longer spans only swallow more
    if not tried:
        return None
    span, levels = choose_smoothing(tried)
    edges = levels.edges
    if cut and levels.open_end:
        edges = edges[:-2]
        if len(edges) < 2:
            return None
    level, spread = _noise_of(x, edges, span, noise, noise_spread)
    resolved = any(_qualifies(t) for t in tried) and levels.dropped <= len(edges)
    return Sliced(edges, span, levels.on, level, spread, levels.dropped, levels.separation,
                  resolved)


def _shortest(widths):
    """The shortest element that counts: the second shortest, or the 1st percentile of many (a
    lone one may be a glitch; a short pulse that each repeat ends on is not)."""
    ordered = np.sort(widths)
    return float(ordered[min(len(ordered) - 1, max(1, int(0.01 * len(ordered))))])


def choose_smoothing(tried):
    """The longest smoothing that still resolves the burst.

    A span qualifies when the shortest elements it finds (5th percentile) are at least 1.25 spans
    long, and 3 samples long unless it met next to no glitches: shorter ones are noise it
    let through. Going up the qualifying spans, the count of edges holds while the span is
    within the symbol and falls once it swallows whole elements: the last span before it falls
    below 80 % of the one before is taken, and none longer than the shortest elements a shorter
    one found allow where that one dropped next to no glitches (a short pulse that ends each
    repeat is kept, and noise that a short smoothing lets through does not hold it back).

    Parameters
    ----------
    tried : list of (span, Levels, 5th percentile of widths, shortest width (_shortest))
        Ascending by span, widths in samples.

    Returns
    -------
    (span, Levels)
    """
    valid = [t for t in tried if _qualifies(t)]
    if not valid:
        return tried[0][0], tried[0][1]
    chosen = valid[0]
    for t in valid[1:]:
        clean = chosen[1].dropped <= CLEAN * len(chosen[1].edges)
        if len(t[1].edges) < 0.8 * len(chosen[1].edges) or clean and 1.25 * t[0] > chosen[3]:
            break
        chosen = t
    return chosen[0], chosen[1]


def _qualifies(t):
    span, found, shortest, _ = t
    return shortest >= 1.25 * span and (shortest >= 3.0 or found.dropped <= CLEAN * len(
        found.edges))


def _noise_of(x, edges, span, fallback_mean, fallback_spread):
    """Level and spread of the raw magnitude away from the pulses (falls back to the floor's)."""
    off = np.ones(len(x), dtype=bool)
    guard = span + 2
    for a, b in zip(edges[0::2], edges[1::2]):
        off[max(0, int(a) - guard): int(b) + guard + 1] = False
    if off.sum() < LEAST_NOISE_SAMPLES:
        return fallback_mean, fallback_spread
    return float(np.median(x[off])), float(x[off].std())


def snr_db(level, noise, spread):
    """Pulse power over noise power (dB) from magnitude levels.

    The noise magnitude of complex Gaussian noise of sigma per part has the spread
    sigma * 0.655 and the mean sigma * 1.2533; that places the unknown constant, and the pulse
    amplitude follows from its mean magnitude, sqrt(A^2 + 2 sigma^2) at most.

    Parameters
    ----------
    level, noise : float
        Mean magnitudes of the pulses and of the noise (same offset).
    spread : float
        Standard deviation of the noise's magnitude.

    Returns
    -------
    float
        SNR in dB, in iqenv's channel; LEAST_SNR_DB where the pulses are no stronger than
        that (below it the figure would say nothing).
    """
    sigma = max(spread, 1e-12) / RAYLEIGH_SPREAD
    offset = sigma * np.sqrt(np.pi / 2) - noise
    on = level + offset
    power = max(on * on - 2 * sigma * sigma, 10 ** (LEAST_SNR_DB / 10) * 2 * sigma * sigma)
    return float(10 * np.log10(power / (2 * sigma * sigma)))


def slice_levels(x, span, noise_mean):
    """The edges of `x` smoothed over `span`, or None where nothing stands out.

    Single samples that cross the threshold against both neighbours (narrower than iqenv's
    channel passes) take their neighbours' median first, and count as glitches; so do pulses
    and gaps narrower than GLITCH_SAMPLES or half the span once sliced. The levels are
    measured twice: first from the smoothed magnitude's spread, then inside the pulses and
    gaps found, away from the edges the smoothing blurs. The threshold lies halfway between
    them: across an edge the smoothed magnitude moves from one level's mean to the other's in
    proportion to the share of the span past the edge, so halfway is the edge itself.

    Returns
    -------
    Levels or None
    """
    s = smooth(x, span)
    if len(s) < 4:
        return None
    peak = np.percentile(s, 99)
    if peak <= noise_mean:
        return None
    first = noise_mean + 0.5 * (peak - noise_mean)
    on = float(np.median(s[s > first]))
    off = float(np.median(s[s <= first])) if (s <= first).any() else noise_mean
    off = min(off, noise_mean + 0.25 * (on - noise_mean))
    x, spikes = despike(x, (on + off) / 2, on - off)
    s = smooth(x, span)
    for refine in (True, False):
        threshold = (on + off) / 2
        found = _edges(s, threshold, HYSTERESIS * (on - off), span)
        if found is None:
            return None
        edges, open_end = found
        forced_end = edges[-1]
        edges, glitches = drop_glitches(edges, max(GLITCH_SAMPLES, span / 2))
        if len(edges) < 2:
            return None
        open_end = open_end and edges[-1] == forced_end
        if refine:
            on, off, _, _ = _plateaus(s, edges, span, on, off)
    _, _, on_spread, off_spread = _plateaus(s, edges, span, on, off)
    return Levels(edges, on, off, threshold, on_spread, off_spread, glitches, spikes, open_end)


def despike(x, threshold, step):
    """`x` with each lone sample on the far side of `threshold` from both neighbours, by more
    than half the `step` between the levels, set to the median of the three; and how many."""
    if len(x) < 3:
        return x, 0
    mid, a, b = x[1:-1], x[:-2], x[2:]
    hi, lo = np.maximum(a, b), np.minimum(a, b)
    lone = ((mid > threshold) & (hi < threshold) & (mid - hi > step / 2)) | \
        ((mid < threshold) & (lo > threshold) & (lo - mid > step / 2))
    idx = np.flatnonzero(lone) + 1
    if len(idx):
        x = x.copy()
        x[idx] = np.median(np.stack((x[idx - 1], x[idx], x[idx + 1])), axis=0)
    return x, len(idx)


def _edges(s, threshold, h, span):
    """Edge times (samples of x) where s, with hysteresis h, changes state, rising first; and
    whether the last pulse was still on at the end (its fall then put there); or None."""
    state = np.where(s > threshold + h, 1, np.where(s < threshold - h, 0, -1))
    # Carry each definite state over the samples between the marks.
    known = np.flatnonzero(state >= 0)
    if len(known) == 0:
        return None
    filled = state[known][np.maximum(np.searchsorted(known, np.arange(len(s)), "right") - 1, 0)]
    filled[: known[0]] = 0
    changes = np.flatnonzero(np.diff(filled)) + 1
    if len(changes) and filled[changes[0]] == 0:
        changes = changes[1:]  # a pulse cut by the start: left out
    if len(changes) < 2:
        return None
    # Each edge at the last crossing of the threshold itself before the state changed.
    above = s > threshold
    crossings = np.flatnonzero(above[1:] != above[:-1]) + 1
    at = crossings[np.maximum(np.searchsorted(crossings, changes, "right") - 1, 0)]
    frac = (threshold - s[at - 1]) / (s[at] - s[at - 1])
    edges = at - 1 + frac + (span - 1) / 2
    if filled[-1] == 1:
        edges = np.append(edges, len(s) - 1 + (span - 1) / 2)
    return edges, bool(filled[-1] == 1)


def _plateaus(s, edges, span, on, off):
    """Median smoothed levels inside the pulses and inside the gaps, a sample clear of each
    edge and its smoothing (the levels given where none are that long), and the spread about
    each (their median absolute deviation, as a normal distribution's standard deviation; 0
    where none)."""
    n = len(s)
    firsts = np.concatenate(([0], np.ceil(edges).astype(int) + 1))
    lasts = np.concatenate((np.floor(edges).astype(int) - span, [n - 1]))
    levels, spreads = [], []
    for kind, given in ((1, on), (0, off)):  # pulses follow rising edges: odd stretches
        pick = (np.arange(len(firsts)) % 2 == kind) & (lasts >= firsts)
        first, last = np.clip(firsts[pick], 0, n), np.clip(lasts[pick] + 1, 0, n)
        marks = np.zeros(n + 1)
        np.add.at(marks, first, 1)
        np.add.at(marks, last, -1)
        inside = s[np.cumsum(marks[:n]) > 0]
        level = float(np.median(inside)) if len(inside) else given
        levels.append(level)
        spreads.append(1.4826 * float(np.median(np.abs(inside - level))) if len(inside) else 0.0)
    return levels[0], levels[1], spreads[0], spreads[1]


def drop_glitches(edges, shortest):
    """Edges (rise, fall, rise, ...) with each pulse or gap shorter than `shortest` merged into
    its neighbours, the shortest first; returns the edges and how many were dropped."""
    edges = list(edges)
    dropped = 0
    while len(edges) >= 2:
        widths = np.diff(edges)
        i = int(np.argmin(widths))
        if widths[i] >= shortest:
            break
        dropped += 1
        # A pulse or gap inside merges its neighbours; a pulse at either end goes whole (the
        # edges start rising and end falling, so a gap cannot be there).
        del edges[i: i + 2]
    return np.array(edges), dropped
