"""iqenv's output sliced into bursts of pulses, a chunk at a time, live.

iqenv writes v = (m - mean) * 10000, the magnitude m less the running mean of every magnitude
so far, the current one included. With M_n the mean after n magnitudes,
v_n / 10000 = (m_n - M_(n-1)) (n - 1) / n and M_n = M_(n-1) + v_n / (10000 (n - 1)), so the
magnitudes come back exactly, up to the first one, which is unknown and taken as 0: every
magnitude is then off by the same constant, which no level below depends on. A frame whose
magnitude was not finite comes out as 0 and iqenv leaves it out of the mean; here it counts like
any other, since a 0 cannot be told from silence (a run that starts with digital zeros writes
0s that do count). Each such frame puts the count one ahead, which moves later magnitudes by
less than one part in the count.

A burst is where the magnitude, smoothed over one of a few spans, stands clear of the noise
(tracked over the quiet blocks of the last seconds); it ends after END_QUIET seconds with no such
activity. Each burst is then sliced on its own: the noise level and the pulse level are measured
in it, the smoothing is the longest that still resolves its shortest elements (a filter matched
to the symbol), the threshold lies halfway between the levels with hysteresis either side, and
each edge is placed where the smoothed magnitude crosses the threshold, between samples.
"""
from collections import deque
from dataclasses import dataclass

import numpy as np

from .resampler import OUTPUT_RATE

OUTPUT_GAIN = 10000.0
END_QUIET = 0.1  # seconds of quiet that end a burst
BLOCK = 240  # samples per block of the noise tracker (10 ms)
HISTORY_BLOCKS = 300  # blocks the noise tracker remembers (3 s)
NOISE_RANK = 0.1  # the block of this rank by mean level gives the noise
DETECT_SPANS = (3, 8, 24)  # smoothing spans (samples) of the activity detector
DETECT_SIGMAS = (7.0, 6.0, 6.0)  # how far above the noise, in its own spread, each must rise
SMOOTHING = (1, 2, 3, 4, 5, 6, 8, 10, 12, 16, 20, 24, 32, 40, 48)  # spans tried per burst (samples)
HYSTERESIS = 0.2  # share of the pulse level above the noise, either side of the threshold
MARGIN = 48  # samples kept either side of a burst's activity
MAX_BURST = 10.0  # seconds: a burst this long is cut and reported as it is
MIN_PULSES = 2
RAYLEIGH_SPREAD = np.sqrt(2 - np.pi / 2)  # noise magnitude's spread over sigma per part
GLITCH_SAMPLES = 1.5  # elements shorter than this, or half the smoothing, are glitches


class EnvelopeRecovery:
    """Magnitudes from iqenv's values, a chunk at a time (up to one constant; see above)."""

    def __init__(self):
        self.count = 0
        self.mean = 0.0

    def magnitudes(self, values):
        """Magnitudes (input units, offset by the first one's) of the next `values`.

        Parameters
        ----------
        values : array of float32
            iqenv's output values, in order.

        Returns
        -------
        array of float64
            One magnitude per value.
        """
        u = np.asarray(values, dtype=np.float64) / OUTPUT_GAIN
        n = self.count + np.arange(1, len(u) + 1)
        steps = np.zeros_like(u)
        steps[n > 1] = u[n > 1] / (n[n > 1] - 1)
        means = self.mean + np.cumsum(steps)
        if len(u):
            self.count, self.mean = int(n[-1]), float(means[-1])
        return means + u


def smooth(x, span):
    """Moving average over `span` samples; element k stands for time k + (span - 1) / 2."""
    if span <= 1:
        return np.asarray(x, dtype=np.float64)
    c = np.concatenate(([0.0], np.cumsum(x)))
    return (c[span:] - c[:-span]) / span


@dataclass
class Burst:
    """One burst: its pulses and how they were sliced.

    start: seconds from the stream's start to the first edge; pulses: (pulse us, gap us) pairs,
    the last gap the quiet seen after the last pulse (END_QUIET or more; less where the stream
    ended); noise, level: magnitudes (input units, offset as EnvelopeRecovery's) of the noise
    and of the pulses; spread: the noise's standard deviation; snr_db: pulse power over noise
    power in iqenv's channel; span: smoothing, samples; threshold: the slicing level, as the
    levels; glitches: elements and lone samples dropped as too short; cut: whether MAX_BURST
    ended it.
    """
    start: float
    pulses: list
    noise: float
    level: float
    spread: float
    snr_db: float
    span: int
    threshold: float
    glitches: int = 0
    cut: bool = False


class NoiseTracker:
    """Noise level and spread from the quietest blocks of the last seconds."""

    def __init__(self):
        self.blocks = deque(maxlen=HISTORY_BLOCKS)  # rows: mean, spread, spread per span
        self.partial = np.zeros(0)
        self._estimate = None

    def add(self, magnitudes):
        x = np.concatenate((self.partial, magnitudes))
        whole = len(x) // BLOCK * BLOCK
        self.partial = x[whole:]
        if not whole:
            return
        blocks = x[:whole].reshape(-1, BLOCK)
        c = np.concatenate((np.zeros((len(blocks), 1)), np.cumsum(blocks, axis=1)), axis=1)
        stats = [blocks.mean(axis=1), blocks.std(axis=1)]
        stats += [((c[:, s:] - c[:, :-s]) / s).std(axis=1) for s in DETECT_SPANS]
        self.blocks.extend(np.stack(stats, axis=1))
        self._estimate = None

    def ready(self):
        return len(self.blocks) > 0

    def estimate(self):
        """(mean, spread, spreads of each detector span) of the noise: the mean of the block
        of rank NOISE_RANK by mean, the spreads the medians over the quieter half of the blocks
        (one block holds too few independent smoothed values to tell their spread alone)."""
        if self._estimate is None:
            blocks = np.array(self.blocks)
            ranked = blocks[np.argsort(blocks[:, 0])]
            quiet = np.median(ranked[: max(1, len(ranked) // 2)], axis=0)
            self._estimate = (float(ranked[int(NOISE_RANK * (len(ranked) - 1)), 0]),
                              float(quiet[1]), tuple(quiet[2:]))
        return self._estimate


class Slicer:
    """Bursts of pulses from iqenv's output values, fed a chunk at a time.

    Parameters
    ----------
    rate : float
        Values per second (iqenv writes 24000).
    """

    def __init__(self, rate=OUTPUT_RATE):
        self.rate = rate
        self.recovery = EnvelopeRecovery()
        self.noise = NoiseTracker()
        self.buffer = np.zeros(0)
        self.buffer_start = 0  # stream index of buffer[0]
        self.glitches = 0
        self.dropped = 0  # bursts with too few pulses to report

    def feed(self, values):
        """Takes the next iqenv values; returns the bursts that ended in them.

        Parameters
        ----------
        values : array of float32
            iqenv's output, in order, any length.

        Returns
        -------
        list of Burst
        """
        m = self.recovery.magnitudes(values)
        self.buffer = np.concatenate((self.buffer, m))
        return self._bursts(final=False)

    def finish(self):
        """Ends the stream: the burst in progress, if any, is reported.

        Returns
        -------
        list of Burst
        """
        return self._bursts(final=True)

    def _bursts(self, final):
        out = []
        while True:
            if not self.noise.ready():
                if len(self.buffer) < BLOCK and not final:
                    return out
                self.noise.add(self.buffer[:BLOCK] if len(self.buffer) >= BLOCK else self.buffer)
                if not self.noise.ready():
                    return out
            active = self._activity()
            end = len(self.buffer)
            quiet = int(END_QUIET * self.rate)
            if not active.any():
                keep = min(end, MARGIN + quiet)
                self._drop(end - keep, active)
                return out
            first = int(np.argmax(active))
            ends = self._burst_end(active, first, quiet)
            if ends is None:
                too_long = end - first > MAX_BURST * self.rate
                if not (final or too_long):
                    self._drop(max(0, first - MARGIN), active)
                    return out
                ends = end if final else first + int(MAX_BURST * self.rate)
            start = max(0, first - MARGIN)
            burst = self._slice(start, min(end, ends + MARGIN), ends - first,
                                min(end, ends + quiet) - start,
                                cut=not final and ends - first >= MAX_BURST * self.rate)
            if burst is not None:
                out.append(burst)
            self._drop(min(end, ends + MARGIN), active)
            if final and not self._activity().any():
                return out

    def _drop(self, count, active):
        """Forgets the first `count` buffered magnitudes, the quiet ones (by `active`) feeding
        the tracker."""
        if count <= 0:
            return
        active = active[:count]
        quiet = self.buffer[:count][~_dilate(active, MARGIN)]
        self.noise.add(quiet)
        self.buffer = self.buffer[count:]
        self.buffer_start += count

    def _activity(self):
        """Per buffered sample: whether some detector span stands clear of the noise there."""
        mean, _, spreads = self.noise.estimate()
        active = np.zeros(len(self.buffer), dtype=bool)
        for span, sigmas, spread in zip(DETECT_SPANS, DETECT_SIGMAS, spreads):
            if len(self.buffer) < span:
                continue
            s = smooth(self.buffer, span) > mean + sigmas * max(spread, 1e-12)
            active[span // 2: span // 2 + len(s)] |= s
        return active

    def _burst_end(self, active, first, quiet):
        """Index after the burst's last active sample, once `quiet` samples of quiet follow."""
        idx = np.flatnonzero(active[first:]) + first
        gaps = np.diff(idx)
        long_gap = np.flatnonzero(gaps > quiet)
        last = idx[long_gap[0]] if len(long_gap) else idx[-1]
        if len(self.buffer) - last - 1 < quiet:
            return None
        return int(last) + 1

    def _slice(self, a, b, active_len, quiet_until, cut):
        """The burst in buffer[a:b], `active_len` samples of activity, quiet seen until
        `quiet_until` (from a); None if it has too few pulses."""
        x = self.buffer[a:b]
        start_index = self.buffer_start + a
        noise_mean, noise_spread, _ = self.noise.estimate()
        tried = []
        for span in SMOOTHING:
            if span * 2 > active_len:
                break
            found = slice_levels(x, span, noise_mean)
            if found is not None and len(found[0]) >= 2 * MIN_PULSES:
                tried.append((span, found, np.percentile(np.diff(found[0]), 5)))
                if choose_smoothing(tried)[0] < span and _qualifies(tried[-1]):
                    break  # longer spans only swallow more
        if not tried:
            self.dropped += 1
            return None
        span, (edges, dropped, on, threshold, spikes) = choose_smoothing(tried)
        edges, _ = regrid(x, edges, threshold)
        glitches = dropped + spikes
        self.glitches += glitches
        # Times in us from the first rising edge.
        t = edges / self.rate * 1e6
        rises, falls = t[0::2], t[1::2]
        pulses = falls - rises
        gaps = np.append(rises[1:] - falls[:-1], (quiet_until - edges[-1]) / self.rate * 1e6)
        noise, spread = _noise_of(x, edges, span, noise_mean, noise_spread)
        burst = Burst(start=(start_index + edges[0]) / self.rate,
                      pulses=[(float(p), float(g)) for p, g in zip(pulses, gaps)],
                      noise=noise, level=on, spread=spread,
                      snr_db=snr_db(on, noise, spread), span=span, threshold=threshold,
                      glitches=glitches, cut=cut)
        return burst


def choose_smoothing(tried):
    """The longest smoothing that still resolves the burst.

    A span qualifies when the shortest elements it finds (5th percentile) are at least 1.25 spans
    long, and 3 samples long unless it met next to no glitches: shorter ones are noise it
    let through. Going up the qualifying spans, the count of edges holds while the span is
    within the symbol and falls once it swallows whole elements: the last span before it falls
    below 80 % of the one before is taken.

    Parameters
    ----------
    tried : list of (span, slice_levels result, shortest width in samples)
        Ascending by span.

    Returns
    -------
    (span, slice_levels result)
    """
    valid = [t for t in tried if _qualifies(t)]
    if not valid:
        return tried[0][0], tried[0][1]
    chosen = valid[0]
    for t in valid[1:]:
        if len(t[1][0]) < 0.8 * len(chosen[1][0]):
            break
        chosen = t
    return chosen[0], chosen[1]


def _qualifies(t):
    span, found, shortest = t
    return shortest >= 1.25 * span and (shortest >= 3.0 or found[1] + found[4] <= 0.05 * len(
        found[0]))


def _noise_of(x, edges, span, fallback_mean, fallback_spread):
    """Level and spread of the raw magnitude away from the pulses (falls back to the tracker)."""
    off = np.ones(len(x), dtype=bool)
    guard = span + 2
    for a, b in zip(edges[0::2], edges[1::2]):
        off[max(0, int(a) - guard): int(b) + guard + 1] = False
    if off.sum() < 2 * BLOCK // 4:
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
        SNR in dB, in iqenv's channel.
    """
    sigma = max(spread, 1e-12) / RAYLEIGH_SPREAD
    offset = sigma * np.sqrt(np.pi / 2) - noise
    on = level + offset
    power = max(on * on - 2 * sigma * sigma, 1e-12 * sigma * sigma)
    return float(10 * np.log10(power / (2 * sigma * sigma)))


def slice_levels(x, span, noise_mean):
    """Edges of `x` smoothed over `span`: (edge times in samples, rising and falling in turn;
    pulses and gaps dropped as glitches; pulse level; threshold; lone samples set aside), or
    None where nothing stands out.

    Single samples that cross the threshold against both neighbours (narrower than iqenv's
    channel passes) take their neighbours' median first, and count as glitches; so do pulses
    and gaps narrower than GLITCH_SAMPLES or half the span once sliced. The levels are
    measured twice: first from the smoothed magnitude's spread, then inside the pulses and
    gaps found, away from the edges the smoothing blurs. The threshold lies halfway between
    them: across an edge the smoothed magnitude moves from one level's mean to the other's in
    proportion to the share of the span past the edge, so halfway is the edge itself.
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
        edges = _edges(s, threshold, HYSTERESIS * (on - off), span)
        if edges is None:
            return None
        edges, glitches = drop_glitches(edges, max(GLITCH_SAMPLES, span / 2))
        if len(edges) < 2:
            return None
        if refine:
            on, off = _plateaus(s, edges, span, on, off)
    return edges, glitches, on, threshold, spikes


def regrid(x, edges, threshold, longest=8):
    """Edges with each element split where whole units of it, averaged alone, fall on the
    other side of the threshold: a pulse lost in a gap, or a gap in a pulse, that the
    smoothing across the unit's neighbours hid. Only where the widths are whole multiples of
    one unit (up to `longest` units); returns the edges and how many elements were split."""
    widths = np.diff(edges)
    if len(widths) < 4:
        return edges, 0
    short = widths[widths <= 1.5 * np.percentile(widths, 10)]
    unit = float(np.median(short))
    if unit < 3:
        return edges, 0
    k = widths / unit
    n = np.round(k)
    regular = (n <= longest) & (np.abs(k - n) < 0.3)
    if np.mean(regular) < 0.9:
        return edges, 0
    out, split = [edges[0]], 0
    for i, w in enumerate(widths):
        level = i % 2 == 0  # rising edges first: even elements are pulses
        if regular[i] and n[i] >= 3:
            slot = w / n[i]
            starts = edges[i] + slot * np.arange(n[i])
            means = np.array([x[int(np.ceil(a + 0.15 * slot)): int(a + 0.85 * slot)].mean()
                              for a in starts])
            other = (means > threshold) != level
            # Only inside the element: its first and last units border true edges.
            other[0] = other[-1] = False
            if other.any():
                split += 1
                flips = np.flatnonzero(np.diff(np.concatenate(([False], other, [False]))))
                out += list(starts[0] + slot * flips)
        out.append(edges[i + 1])
    return np.array(out), split


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
    """Edge times (samples of x) where s, with hysteresis h, changes state; rising first."""
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
    return edges


def _plateaus(s, edges, span, on, off):
    """Median smoothed levels inside the pulses and inside the gaps, a sample clear of each
    edge and its smoothing (the levels given where none are that long)."""
    n = len(s)
    firsts = np.concatenate(([0], np.ceil(edges).astype(int) + 1))
    lasts = np.concatenate((np.floor(edges).astype(int) - span, [n - 1]))
    levels = []
    for kind, given in ((1, on), (0, off)):  # pulses follow rising edges: odd stretches
        pick = (np.arange(len(firsts)) % 2 == kind) & (lasts >= firsts)
        first, last = np.clip(firsts[pick], 0, n), np.clip(lasts[pick] + 1, 0, n)
        marks = np.zeros(n + 1)
        np.add.at(marks, first, 1)
        np.add.at(marks, last, -1)
        inside = np.cumsum(marks[:n]) > 0
        levels.append(float(np.median(s[inside])) if inside.any() else given)
    return levels[0], levels[1]


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


def _dilate(mask, n):
    if not mask.any():
        return mask
    c = np.concatenate(([0], np.cumsum(mask)))
    idx = np.arange(len(mask))
    lo = np.clip(idx - n, 0, len(mask))
    hi = np.clip(idx + n + 1, 0, len(mask))
    return (c[hi] - c[lo]) > 0
