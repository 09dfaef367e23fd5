"""Finding the transmissions in an IQ recording: where they are, how strong, when.

The recording is read twice, a chunk at a time, so memory does not grow with its length.

Pass 1 cuts it into short frames (about 300 us: a frame fits inside the shortest pulse worth
finding), takes each frame's spectrum and, chunk by chunk, the noise floor of every frequency
bin (the median over time, then over neighbouring bins, so that neither a long burst nor a
steady carrier raises it). A cell (frame, bin) is active when it stands ACTIVE_DB above the
floor. A bin belongs to a signal when it is active in two consecutive frames at least
MIN_PAIRS times: noise rarely does that twice in a row, a pulse always does. Adjacent such
bins form a signal; two peaks with a valley of SPLIT_DB between them are two signals.

Pass 2 follows each signal frame by frame (active when any of its strongest bins is, unless a
far stronger signal explains it), measures its power while active, and averages a finer
spectrum over the stretches where it is active for its offset and occupied bandwidth. Last,
weaker signals that only ever appear while a stronger one is on, starting with it if that one
is steady, are dropped: clipping made them.

Each frame's DC offset (its mean, weighted as the window weights the frame) is removed before
its spectrum is taken, and with it the receiver's spike at 0 Hz; the bin at 0 Hz is never
taken for a signal.
"""
import math
from dataclasses import dataclass, field

import numpy as np
import scipy.ndimage
import scipy.signal

from .spectra import Framer, frame_window, plan_for, power_spectra

ACTIVE_DB = 10.0
MIN_PAIRS = 3
SPLIT_DB = 10.0
CORE_DB = 10.0
GAP_SECONDS = 5e-3  # gaps shorter than this join pulses into one burst
OBW_FRACTION = 0.90  # occupied bandwidth: the band holding this share of the power
POWER_PERCENTILE = 80  # of the frames where a signal is active: those fully inside a pulse
MIN_RUN = 3  # frames
# A frame where a signal is active does not count within EDGE_FRAMES of a keying edge of one
# SPLATTER_DB stronger, nor, where the converter clips, near one CLIPPING_DB stronger.
EDGE_FRAMES = 2
SPLATTER_DB = 20.0
CLIPPING_DB = 20.0
CLIPPED_FRACTION = 0.01  # of a frame's samples, for the frame to count as clipped
SPUR_DB = 6.0  # heavy clipping puts a weak signal's intermodulation with a strong one this close
PRESENT_DB = -3.0  # noise alone stays above this (half its mean) in 6 frames of 10
STEADY_FRACTION = 0.95  # of all frames above PRESENT_DB: a steady carrier, not keyed
SPUR_SLACK_SECONDS = 2e-3


def noise_floor(power):
    """Mean noise power per bin: median over time (a bin's power is exponential, its median
    ln 2 times its mean), then the median of neighbouring bins.

    Parameters
    ----------
    power : numpy.ndarray
        Power per frame (rows) and bin (columns), as spectra.power_spectra gives it.

    Returns
    -------
    numpy.ndarray
        float32 noise power per bin, never 0.
    """
    step = max(len(power) // 1024, 1)  # a thousand frames give the median well enough
    per_bin = np.median(np.ascontiguousarray(power[::step].T), axis=1) / math.log(2)
    width = min(max(15, power.shape[1] // 16 + 1), 65)
    floor = scipy.ndimage.median_filter(per_bin, size=width, mode="wrap").astype(np.float32)
    return np.maximum(floor, np.finfo(np.float32).tiny)  # a silent recording has no noise


@dataclass
class Signal:
    lo: int  # coarse bins lo..hi (inclusive) belong to it
    hi: int
    core: np.ndarray  # the bins whose activity marks it active
    steady: bool = False  # present nearly all the time: a carrier, not keyed
    offset_hz: float = 0.0
    bandwidth_hz: float = 0.0
    power_db: float = 0.0  # during bursts, above the noise in its occupied band
    power: float = 0.0  # during bursts, linear, in the recording's units squared
    start_s: float = 0.0
    bursts: list = field(default_factory=list)  # (start, end) in seconds

    def as_dict(self, tuned=None):
        """What scan --json prints for the signal: offset, power, bandwidth, bursts; and its
        frequency where the recording's tuned frequency (`tuned`, in hertz) is known."""
        rf = {} if tuned is None else {"frequency_hz": round(tuned + self.offset_hz, 1)}
        return {"offset_hz": round(self.offset_hz, 1), **rf, "power_db": round(self.power_db, 2),
                "bandwidth_hz": round(self.bandwidth_hz, 1), "start_s": round(self.start_s, 6),
                "bursts": len(self.bursts),
                "burst_times_s": [[round(a, 6), round(b, 6)] for a, b in self.bursts]}


def _runs(mask):
    """(start, end) index pairs, end exclusive, of the runs of True in a 1-D mask."""
    edges = np.flatnonzero(np.diff(np.concatenate(([0], mask.astype(np.int8), [0]))))
    return edges.reshape(-1, 2)


def _signals_from_bins(pairs, level_db, dc):
    """Groups the bins that hold a signal and splits groups at deep valleys."""
    occupied = pairs >= MIN_PAIRS
    occupied[dc] = False
    groups = [list(r) for r in _runs(occupied)]
    # A signal close to 0 Hz spreads over both sides of the bin left out there.
    for i in range(len(groups) - 1):
        if groups[i][1] == dc and groups[i + 1][0] == dc + 1:
            groups[i + 1][0] = groups[i][0]
            groups[i] = None
    signals = []
    for lo, hi in (g for g in groups if g):
        profile = level_db[lo:hi].copy()
        # The bin left out at 0 Hz is no valley: a signal across it is one signal. It takes the
        # lower of its neighbours' levels.
        at = np.flatnonzero(np.arange(lo, hi) == dc)
        if len(at):
            beside = profile[[i for i in (at[0] - 1, at[0] + 1) if 0 <= i < len(profile)]]
            profile[at] = np.min(beside) if len(beside) else -np.inf
        flat = np.where(np.isfinite(profile), profile, np.nanmin(profile[np.isfinite(profile)]))
        peaks, _ = scipy.signal.find_peaks(np.concatenate(([-1e9], flat, [-1e9])),
                                           prominence=SPLIT_DB)
        peaks -= 1
        cuts = [lo] + [lo + a + int(np.argmin(flat[a:b])) for a, b in zip(peaks, peaks[1:])] + [hi]
        for a, b in zip(cuts, cuts[1:]):
            part = level_db[a:b]
            core = np.arange(a, b)[part >= np.max(part) - CORE_DB]
            core = core[core != dc]
            if len(core):
                signals.append(Signal(a, b - 1, core))
    return signals


def _pass_one(recording, plan, window):
    """Noise floor of every chunk, and the signals' bins."""
    framer = Framer(plan.frame, plan.hop)
    floors, pairs = [], np.zeros(plan.frame, dtype=np.int64)
    level = np.zeros(plan.frame)
    hits = np.zeros(plan.frame, dtype=np.int64)
    present, frames_seen = np.zeros(plan.frame, dtype=np.int64), 0
    previous = np.zeros(plan.frame, dtype=bool)
    dc = plan.frame // 2
    for chunk in recording.chunks(plan.chunk):
        _, frames = framer.push(chunk)
        if not len(frames):
            floors.append(floors[-1] if floors else None)
            continue
        power = power_spectra(frames, window)
        # A handful of frames at the end gives no median worth having.
        floor = noise_floor(power) if len(frames) >= 32 or not floors else floors[-1]
        floors.append(floor)
        with np.errstate(over="ignore"):  # over a silent floor: infinitely above it
            ratio = power / floor
        active = ratio > 10 ** (ACTIVE_DB / 10)
        active[:, dc] = False
        pairs += (active & np.vstack((previous, active[:-1]))).sum(axis=0)
        previous = active[-1]
        with np.errstate(over="ignore"):
            level += np.where(active, ratio, 0).sum(axis=0)
        hits += active.sum(axis=0)
        present += (ratio > 10 ** (PRESENT_DB / 10)).sum(axis=0)
        frames_seen += len(frames)
    # Where a signal stood infinitely far above a silent floor: as far as a number goes.
    np.minimum(level, np.finfo(np.float64).max, out=level)
    with np.errstate(divide="ignore", invalid="ignore"):
        level_db = 10 * np.log10(level / hits)
    level_db[hits == 0] = -np.inf
    signals = _signals_from_bins(pairs, level_db, dc)
    for s in signals:
        s.steady = bool(present[s.core].max() >= STEADY_FRACTION * frames_seen)
    return floors, signals


class _Tracker:
    """One signal through pass 2: its runs of active frames, power and fine spectrum."""

    EDGES_DB = np.arange(-60, 200, 0.05)

    def __init__(self, signal, plan):
        self.signal = signal
        self.runs = []
        self.histogram = np.zeros(len(self.EDGES_DB) - 1, dtype=np.int64)
        self.fine = np.zeros(plan.fine)
        self.weight = 0.0  # sum of the weights of the fine spectra
        self.floor_sum = np.zeros(plan.frame)
        self.chunks = 0

    def add(self, first, power, active, floor):
        s = self.signal
        self.floor_sum += floor
        self.chunks += 1
        runs = _runs(active)
        if len(runs):
            self.runs.append(runs + first)
        excess = (power[active, s.lo:s.hi + 1] - floor[s.lo:s.hi + 1]).sum(axis=1)
        with np.errstate(divide="ignore"):
            self.histogram += np.histogram(10 * np.log10(np.maximum(excess, 1e-30)),
                                           self.EDGES_DB)[0]


def _merge(runs, gap):
    """Runs (start, end exclusive) joined where the gap between them is below `gap`."""
    if not len(runs):
        return runs
    keep = np.concatenate(([True], runs[1:, 0] - runs[:-1, 1] >= gap))
    starts = runs[keep, 0]
    ends = np.maximum.reduceat(runs[:, 1], np.flatnonzero(keep))
    return np.column_stack((starts, ends))


def _activity(ratio, clipped, signals, keying_frames):
    """Per signal, the frames where it is active, but not near a keying edge of a signal
    SPLATTER_DB stronger (an edge spreads over the whole band for a frame or two), nor in
    clipped frames near one CLIPPING_DB stronger (what clipping makes of it spreads as far).
    A steady signal that clips makes steady products: beside it, a signal that keys on and off
    keeps its activity unless the stronger one keys too within `keying_frames`."""
    levels = [ratio[:, s.core].max(axis=1) for s in signals]
    actives = [level > 10 ** (ACTIVE_DB / 10) for level in levels]
    reach = 2 * EDGE_FRAMES + 1
    clipped = scipy.ndimage.maximum_filter1d(clipped, reach)
    edges, near, keying = [], [], []
    for level, active in zip(levels, actives):
        switch = np.diff(active.astype(np.int8), prepend=active[:1].astype(np.int8)) != 0
        edges.append(scipy.ndimage.maximum_filter1d(switch, reach))
        near.append(scipy.ndimage.maximum_filter1d(level, reach))
        keying.append(scipy.ndimage.maximum_filter1d(switch, 2 * keying_frames + 1,
                                                     mode="constant"))
    out = []
    for i, (level, active) in enumerate(zip(levels, actives)):
        hidden = np.zeros_like(active)
        for j in range(len(signals)):
            if j != i:
                # A level beyond the largest float32 times the margin: infinitely stronger.
                with np.errstate(over="ignore"):
                    splatter, clipping = (level * 10 ** (SPLATTER_DB / 10),
                                          level * 10 ** (CLIPPING_DB / 10))
                hidden |= edges[j] & (near[j] > splatter)
                own = ~keying[j] & (not signals[i].steady)  # its bursts are its own
                hidden |= clipped & ~own & (near[j] > clipping)
        out.append(active & ~hidden)
    return out


def _pass_two(recording, plan, window, floors, signals):
    framer, clip_framer = Framer(plan.frame, plan.hop), Framer(plan.frame, plan.hop)
    fine_window = frame_window(plan.fine)
    trackers = [_Tracker(s, plan) for s in signals]
    keying_frames = int(math.ceil(GAP_SECONDS * plan.samplerate / plan.hop))
    position = 0
    for (chunk, clipping), floor in zip(recording.chunks(plan.chunk, clipping=True), floors):
        first, frames = framer.push(chunk)
        clipped = clip_framer.push(clipping)[1].mean(axis=1) > CLIPPED_FRACTION
        # Fine windows overlap by half within the chunk; a frame counts for the two that hold
        # its centre. Without the overlap, keying edges near a window's ends would go unseen.
        step = plan.fine // 2
        windows = max(len(chunk) // step - 1, 0)
        if len(frames):
            power = power_spectra(frames, window)
            with np.errstate(over="ignore"):
                ratio = power / floor
            centres = (first + np.arange(len(frames))) * plan.hop + plan.frame // 2 - position
            which = np.clip(centres // step, 0, windows)
            weights = []
            actives = _activity(ratio, clipped, [t.signal for t in trackers], keying_frames)
            for t, active in zip(trackers, actives):
                t.add(first, power, active, floor)
                count = np.bincount(which[active], minlength=windows + 1)
                weights.append(count[:windows] + count[1:windows + 1])
            if windows and trackers:
                weights = np.array(weights, dtype=np.float64)
                busy = np.flatnonzero(weights.sum(axis=0))
                if len(busy):
                    pieces = np.lib.stride_tricks.sliding_window_view(chunk, plan.fine)[::step]
                    spectra = power_spectra(pieces[busy], fine_window)
                    for t, w in zip(trackers, weights):
                        t.fine += w[busy] @ spectra
                        t.weight += w.sum()
        position += len(chunk)
    return trackers


def _fine_band(tracker, plan, others):
    """Offset and occupied bandwidth from the fine spectrum averaged over the signal's activity."""
    s, fs = tracker.signal, plan.samplerate
    spectrum = tracker.fine
    freqs = (np.arange(plan.fine) - plan.fine // 2) * fs / plan.fine
    coarse = fs / plan.frame
    lo, hi = plan.bin_hz(s.lo - 1.5), plan.bin_hz(s.hi + 1.5)
    band = (freqs >= lo) & (freqs <= hi)
    # The noise beside the band, away from 0 Hz and from the other signals.
    flank = (freqs >= lo - 4 * coarse) & (freqs < lo) | (freqs > hi) & (freqs <= hi + 4 * coarse)
    flank &= np.abs(freqs) > coarse
    for o in others:
        flank &= ~((freqs >= plan.bin_hz(o.lo - 1.5)) & (freqs <= plan.bin_hz(o.hi + 1.5)))
    if flank.sum() >= 8:
        noise = float(np.mean(spectrum[flank]))
    else:  # the coarse floor, per fine bin, summed as the spectra were
        floor = tracker.floor_sum / max(tracker.chunks, 1)
        noise = float(np.mean(floor[s.lo:s.hi + 1])) * plan.frame / plan.fine * tracker.weight
    excess = np.maximum(spectrum[band] - noise, 0.0)
    f = freqs[band]
    excess[np.abs(f) < 2.5 * fs / plan.fine] = 0.0  # what is left of the DC spike
    total = excess.sum()
    if total <= 0:
        return None
    step = fs / plan.fine
    cumulative = np.concatenate(([0.0], np.cumsum(excess))) / total
    edges = np.concatenate((f - step / 2, [f[-1] + step / 2]))
    tail = (1 - OBW_FRACTION) / 2
    f_lo, f_hi = np.interp([tail, 1 - tail], cumulative, edges)
    inside = (f >= f_lo - step / 2) & (f <= f_hi + step / 2)
    offset = float(np.sum(f[inside] * excess[inside]) / np.sum(excess[inside]))
    return offset, max(float(f_hi - f_lo), step)


def _percentile_db(histogram, edges, q):
    total = histogram.sum()
    if total == 0:
        return None
    i = int(np.searchsorted(np.cumsum(histogram), total * q / 100))
    return float(edges[min(i, len(edges) - 2)] + (edges[1] - edges[0]) / 2)


def _is_product_of(weak, strong):
    """Whether `weak` is what a receiver's clipping makes of `strong` (copies at multiples of
    its offset, intermodulation with the DC offset, the noise and the other signals, the DC
    offset shifted while it is on): far weaker, and every burst lies within one of its bursts,
    starting with it where `strong` has a single burst (beside a steady carrier, a signal keyed
    on its own has bursts that start while the carrier is on)."""
    if weak.power * 10 ** (SPUR_DB / 10) > strong.power:
        return False
    slack = SPUR_SLACK_SECONDS
    keyed = len(strong.bursts) > 1
    return all(any(a - slack <= w0 <= (b if keyed else a) + slack and w1 <= b + slack
                   for a, b in strong.bursts) for w0, w1 in weak.bursts)


def _same_transmitter(weak, strong):
    """Whether `weak` is part of `strong`, split from it (by the bin left out at 0 Hz, or a dip
    in its spectrum): its offset within half the wider one's occupied band of `strong`'s, and
    every burst of it overlapping one of `strong`'s."""
    if abs(weak.offset_hz - strong.offset_hz) > max(weak.bandwidth_hz, strong.bandwidth_hz) / 2:
        return False
    return all(any(a <= w1 and w0 <= b for a, b in strong.bursts) for w0, w1 in weak.bursts)


def scan(recording):
    """The transmissions in a recording.

    Parameters
    ----------
    recording : recording.Recording
        The IQ recording, read twice, a chunk at a time.

    Returns
    -------
    list of Signal
        The signals found, one per transmitter, the highest power over the noise in its own
        occupied band (the power the table shows) first.
    """
    plan = plan_for(recording.samplerate, recording.samples, recording.path)
    window = frame_window(plan.frame)
    floors, signals = _pass_one(recording, plan, window)
    if not signals:
        return []
    trackers = _pass_two(recording, plan, window, floors, signals)
    fs = plan.samplerate
    found = []
    for t in trackers:
        s = t.signal
        runs = np.concatenate(t.runs) if t.runs else np.zeros((0, 2), dtype=np.int64)
        runs = _merge(runs, 1)  # runs cut by chunk boundaries
        runs = runs[runs[:, 1] - runs[:, 0] >= MIN_RUN]  # shorter is noise, a pulse fills more
        bursts = _merge(runs, int(math.ceil(GAP_SECONDS * fs / plan.hop)) + 1)
        if not len(bursts):
            continue
        band = _fine_band(t, plan, [o.signal for o in trackers if o is not t])
        excess_db = _percentile_db(t.histogram, t.EDGES_DB, POWER_PERCENTILE)
        if band is None or excess_db is None:
            continue
        s.offset_hz, s.bandwidth_hz = band
        s.power = 10 ** (excess_db / 10)
        floor = t.floor_sum / t.chunks
        density = float(np.mean(floor[s.lo:s.hi + 1])) * plan.frame / fs  # noise per hertz
        s.power_db = 10 * math.log10(s.power / (density * s.bandwidth_hz))
        s.bursts = [(plan.frame_centre_seconds(a), plan.frame_centre_seconds(b - 1))
                    for a, b in bursts]
        s.start_s = s.bursts[0][0]
        found.append(s)
    found.sort(key=lambda s: -s.power)
    kept = [w for i, w in enumerate(found)
            if not any(_is_product_of(w, s) or _same_transmitter(w, s) for s in found[:i])]
    return sorted(kept, key=lambda s: -s.power_db)
