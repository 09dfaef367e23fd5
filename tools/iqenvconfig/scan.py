"""Finding the transmissions in an IQ recording: where they are, how strong, when.

The recording is read twice, a chunk at a time, so memory does not grow with its length, and
the first bursts of the signals that key a third time.

Pass 1 cuts it into short frames (about 300 us: a frame fits inside the shortest pulse worth
finding), takes each frame's spectrum and, chunk by chunk, the noise floor of every frequency
bin (the median over time, then over neighbouring bins, so that neither a long burst nor a
steady carrier raises it). A cell (frame, bin) is active when it stands ACTIVE_DB above the
floor. A bin belongs to a signal when it is active in two consecutive frames at least
MIN_PAIRS times: noise rarely does that twice in a row, a pulse always does. Adjacent such
bins form a signal; two peaks with a valley of SPLIT_DB between them are two signals. Each
bin's power over its floor is counted frame by frame too: a steady carrier keeps near its
median, a keyed signal leaves it (see _Levels.steady).

Pass 2 follows each signal frame by frame (active when any of its strongest bins is, unless a
far stronger signal explains it), measures its power while active, and averages a finer
spectrum over the stretches where it is active for its offset and occupied bandwidth. Last,
weaker signals that only ever appear while a stronger one is on, starting with it if that one
is steady, are dropped: clipping made them.

Then the first bursts of the signals that key are read once more, to find the tones of
frequency-keyed transmitters: signals whose bursts overlap, or two groups of instantaneous
frequency within one signal's band, are one transmitter where, sample by sample, one tone is
on at a time and the changes go straight from tone to tone (see _Turns.in_turn).

Each frame's DC offset (its mean, weighted as the window weights the frame) is removed before
its spectrum is taken, and with it the receiver's spike at 0 Hz; the bin at 0 Hz is never
taken for a signal.
"""
import dataclasses
import math
from dataclasses import dataclass, field

import numpy as np
import scipy.ndimage
import scipy.optimize
import scipy.signal
import scipy.stats

from .spectra import MIN_FRAMES, Framer, frame_window, plan_for, pow2_at_most, power_spectra

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
# A steady carrier, not keyed: in the bin where it stands highest, its power over the floor keeps
# within STEADY_SPAN_DB of its median in all frames but for those that noise takes out of it
# (and STEADY_SLACK more), its median STEADY_ABOVE_DB above the noise's. A keyed signal leaves
# the span: it drops between its pulses, or rises above it where its median is the floor's.
STEADY_SPAN_DB = 6.0
STEADY_ABOVE_DB = 3.0
STEADY_SLACK = 0.05  # of the frames
SINK_DB = 10.0  # a signal this much weaker than what clips the converter sinks while it clips
CARRIER_CLEAR = 1e3  # a carrier's power over the noise's mean, beyond which noise hardly moves it
SPUR_SLACK_SECONDS = 2e-3
# Frequency keying: signals whose bursts overlap this share of their time or more are tried as
# the tones of one transmitter; so is each signal's own band.
FSK_OVERLAP = 0.5
FSK_SECONDS = 0.05  # of a candidate's bursts, the first this long are examined
FSK_DC_FRAMES = 8  # the running mean taken for the DC offset, in frames
FSK_FILTER_PERIODS = 4  # the tone filters' length, in periods of the tones' spacing
FSK_LEVEL_PERCENTILE = 95  # of a tone's power over the samples: its level while on
FSK_MIN_SNR_DB = 6.0  # each tone's level over the noise through its filter, at least
FSK_MIN_HANDOVERS = 8
FSK_HANDOVERS = 0.8  # of the changes of tone (silence one of them), straight from tone to tone
FSK_TOGETHER = 0.1  # a tone's mean power while another is on, over its level (less the noise)
FSK_SEVERAL = 0.5  # of their levels: tones on at once
FSK_ELEMENT_SPREAD = 1.5  # the longest run of one element over the shortest, at most
FSK_ELEMENT_SHARE = 0.05  # of the runs between changes, shorter than an element: noise
FSK_RESOLVED = 1.5  # the shortest element, in runs that count as changes of tone at the least


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
class Tone:
    """One tone of a frequency-keyed transmitter."""

    offset_hz: float  # from the tuned frequency
    bandwidth_hz: float  # occupied: the band holding OBW_FRACTION of its power, keying and all
    power_db: float  # while it is on, above the noise in its occupied band

    def as_dict(self, tuned=None):
        """The tone as scan --json gives it; its frequency where the tuned one is known."""
        rf = {} if tuned is None else {"frequency_hz": round(tuned + self.offset_hz, 1)}
        return {"offset_hz": round(self.offset_hz, 1), **rf, "power_db": round(self.power_db, 2),
                "bandwidth_hz": round(self.bandwidth_hz, 1)}


@dataclass
class Fsk:
    """A transmitter that keys between tones: one of them is on at a time."""

    tones: list  # of Tone, the strongest first
    shift_hz: float  # from the lowest tone to the highest
    element_s: float = None  # the shortest element, seconds; None where it was not measured

    def as_dict(self, tuned=None):
        """What scan --json gives of the keying: the tones, the shift and the shortest element
        in microseconds (None where not measured)."""
        element = None if self.element_s is None else round(self.element_s * 1e6, 1)
        return {"tones": [t.as_dict(tuned) for t in self.tones],
                "shift_hz": round(self.shift_hz, 1), "element_us": element}


@dataclass
class Signal:
    lo: int  # coarse bins lo..hi (inclusive) belong to it
    hi: int
    core: np.ndarray  # the bins whose activity marks it active
    steady: bool = False  # a carrier, not keyed (see _Levels.steady)
    offset_hz: float = 0.0
    bandwidth_hz: float = 0.0
    power_db: float = 0.0  # during bursts, above the noise in its occupied band
    power: float = 0.0  # during bursts, linear, in the recording's units squared
    start_s: float = 0.0
    bursts: list = field(default_factory=list)  # (start, end) in seconds
    # A frequency-keyed transmitter: its tones. The fields above are then its strongest tone's,
    # that an envelope follows, but for the bursts: those of all its tones.
    fsk: Fsk = None

    def band_hz(self):
        """The lowest and highest offset (hertz) of its occupied band: of all its tones' bands,
        where it is frequency-keyed."""
        tones = self.fsk.tones if self.fsk is not None else [self]
        return (min(t.offset_hz - t.bandwidth_hz / 2 for t in tones),
                max(t.offset_hz + t.bandwidth_hz / 2 for t in tones))

    def as_dict(self, tuned=None):
        """What scan --json prints for the signal: offset, power, bandwidth, whether it is a
        steady carrier, bursts, its tones where it is frequency-keyed (else None); and its
        frequency where the recording's tuned frequency (`tuned`, in hertz) is known."""
        rf = {} if tuned is None else {"frequency_hz": round(tuned + self.offset_hz, 1)}
        return {"offset_hz": round(self.offset_hz, 1), **rf, "power_db": round(self.power_db, 2),
                "bandwidth_hz": round(self.bandwidth_hz, 1), "steady": self.steady,
                "start_s": round(self.start_s, 6),
                "bursts": len(self.bursts),
                "burst_times_s": [[round(a, 6), round(b, 6)] for a, b in self.bursts],
                "fsk": None if self.fsk is None else self.fsk.as_dict(tuned)}


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
    framer, clip_framer = Framer(plan.frame, plan.hop), Framer(plan.frame, plan.hop)
    floors, pairs = [], np.zeros(plan.frame, dtype=np.int64)
    level = np.zeros(plan.frame)
    hits = np.zeros(plan.frame, dtype=np.int64)
    levels = _Levels(plan.frame)
    previous = np.zeros(plan.frame, dtype=bool)
    dc = plan.frame // 2
    for chunk, clipping in recording.chunks(plan.chunk, clipping=True):
        _, frames = framer.push(chunk)
        clipped = _clipped(clip_framer, clipping)
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
        levels.add(ratio, clipped)
    # Where a signal stood infinitely far above a silent floor: as far as a number goes.
    np.minimum(level, np.finfo(np.float64).max, out=level)
    with np.errstate(divide="ignore", invalid="ignore"):
        level_db = 10 * np.log10(level / hits)
    level_db[hits == 0] = -np.inf
    signals = _signals_from_bins(pairs, level_db, dc)
    for s in signals:
        s.steady = levels.steady(s.core, dc, float(np.max(level_db[s.core])))
    return floors, signals


def _clipped(framer, clipping):
    """Which of the frames that `clipping` (a bool per sample) completes in `framer` count as
    clipped: CLIPPED_FRACTION of their samples at the converter's limits, or more."""
    return framer.push(clipping)[1].mean(axis=1) > CLIPPED_FRACTION


class _Levels:
    """Each bin's power over its floor, frame by frame, counted in steps of STEP_DB, the frames
    where the converter clips apart; and the strongest bin's power in those: what tells a steady
    carrier from a keyed signal once the signals are known."""

    STEP_DB = 0.5
    EDGES_DB = np.arange(-30, 120 + STEP_DB / 2, STEP_DB)

    def __init__(self, bins):
        steps = len(self.EDGES_DB) - 1
        self.counts = np.zeros((2, bins, steps), dtype=np.int64)  # not clipped, clipped
        self.clipping = np.zeros(steps, dtype=np.int64)  # the strongest bin's, where clipped

    def add(self, ratio, clipped):
        """Counts the frames' power over the floor (`ratio`: frames by bins), `clipped` (a
        bool per frame) apart."""
        bins, steps = self.counts.shape[1:]
        step = self._steps(ratio)
        for where, counts in ((~clipped, self.counts[0]), (clipped, self.counts[1])):
            cells = (step[where] + steps * np.arange(bins)).ravel()
            counts += np.bincount(cells, minlength=counts.size).reshape(counts.shape)
        self.clipping += np.bincount(self._steps(ratio[clipped].max(axis=1, initial=0)),
                                     minlength=steps)

    def _steps(self, ratio):
        """The step that counts each ratio: below the first edge, the first; above the last
        (infinitely, over a silent floor), the last."""
        db = np.clip(10 * np.log10(np.maximum(ratio, 1e-30)), self.EDGES_DB[0], self.EDGES_DB[-1])
        index = ((db - self.EDGES_DB[0]) / self.STEP_DB).astype(np.int64)
        return np.minimum(index, len(self.EDGES_DB) - 2)

    def steady(self, core, dc, level_db):
        """Whether a signal whose bins are `core` is a steady carrier rather than keyed.

        It is judged in the bin of `core` where its median power stands highest, away from the
        bin at 0 Hz (`dc`) and its neighbours where it has other bins (a receiver's DC offset
        that moves leaks there). Where what clips the converter stands SINK_DB above it (in
        the median of the frames that clip), those frames do not count: there it sinks (a
        clipping converter takes power from weaker signals, and spreads the strong one's
        over the floor), and its drops are the stronger one's doing.
        It is steady where that median stands STEADY_ABOVE_DB above the noise's, and no more
        frames lie STEADY_SPAN_DB or farther from it than a carrier with noise puts there,
        give or take STEADY_SLACK of them; never where fewer than MIN_FRAMES count.

        Parameters
        ----------
        core : numpy.ndarray
            The signal's bins, indices from the lowest frequency.
        dc : int
            The bin at 0 Hz.
        level_db : float
            Its power while active, dB over the floor.

        Returns
        -------
        bool
        """
        counts = self.counts[0]
        if (not self.clipping.any()
                or _median_db(self.clipping, self.EDGES_DB) < level_db + SINK_DB):
            counts = counts + self.counts[1]
        judged = [k for k in core if abs(k - dc) > 1] or list(core)
        judged = [k for k in judged if counts[k].sum() >= MIN_FRAMES]
        if not judged:
            return False
        medians = [_median_db(counts[k], self.EDGES_DB) for k in judged]
        median, counts = max(medians), counts[judged[int(np.argmax(medians))]]
        if median < 10 * math.log10(math.log(2)) + STEADY_ABOVE_DB:
            return False
        span = int(round(STEADY_SPAN_DB / self.STEP_DB))
        middle = int(round((median - self.EDGES_DB[0]) / self.STEP_DB))
        low, high = max(middle - span, 0), min(middle + span, len(counts))
        outside = (counts[:low].sum() + counts[high:].sum()) / counts.sum()
        expected = _carrier_outside(10 ** (median / 10),
                                    10 ** ((self.EDGES_DB[low] - median) / 10),
                                    10 ** ((self.EDGES_DB[high] - median) / 10))
        return bool(outside <= expected + STEADY_SLACK)


def _median_db(counts, edges):
    """The median of values counted in the steps between `edges`, spread evenly in each."""
    cumulative = np.concatenate(([0], np.cumsum(counts)))
    return float(np.interp(cumulative[-1] / 2, cumulative, edges))


def _carrier_outside(median, below, above):
    """The share of frames in which a carrier with noise, its power per frame over the noise's
    mean with this median, lies below `below` or above `above` times its median: the power of
    a constant phasor plus complex Gaussian noise, twice it a noncentral chi-square of 2
    degrees of freedom. A median above CARRIER_CLEAR is taken as that: beyond, noise moves a
    carrier by a few tenths of a dB, and as good as never `below` or `above` 1 by much."""
    median = min(median, CARRIER_CLEAR)
    # The carrier's power over the noise's mean whose power with noise has this median.
    snr = scipy.optimize.brentq(lambda a: scipy.stats.ncx2.median(2, 2 * a) / 2 - median,
                                1e-9, 4 * median + 10)
    return float(scipy.stats.ncx2.cdf(2 * below * median, 2, 2 * snr)
                 + scipy.stats.ncx2.sf(2 * above * median, 2, 2 * snr))


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
        clipped = _clipped(clip_framer, clipping)
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
    return _occupied(f, excess, fs / plan.fine)


def _occupied(f, excess, step):
    """Offset and occupied bandwidth, in hertz, of a spectrum less its noise.

    Parameters
    ----------
    f : numpy.ndarray
        The bins' frequencies, hertz, ascending, `step` apart.
    excess : numpy.ndarray
        The power in each bin above the noise, never below 0.
    step : float
        The bins' spacing, hertz.

    Returns
    -------
    (float, float) or None
        The power-weighted mean frequency within the band that holds OBW_FRACTION of the
        power, and that band's width (one bin at least); None where there is no power.
    """
    total = excess.sum()
    if total <= 0:
        return None
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
    starting with it where `strong` is steady (beside a steady carrier, a signal keyed on its
    own has bursts that start while the carrier is on)."""
    if weak.power * 10 ** (SPUR_DB / 10) > strong.power:
        return False
    slack = SPUR_SLACK_SECONDS
    keyed = not strong.steady
    return all(any(a - slack <= w0 <= (b if keyed else a) + slack and w1 <= b + slack
                   for a, b in strong.bursts) for w0, w1 in weak.bursts)


def _same_transmitter(weak, strong):
    """Whether `weak` is part of `strong`, split from it (by the bin left out at 0 Hz, or a dip
    in its spectrum): its offset within half the wider one's occupied band of `strong`'s, and
    every burst of it overlapping one of `strong`'s."""
    if abs(weak.offset_hz - strong.offset_hz) > max(weak.bandwidth_hz, strong.bandwidth_hz) / 2:
        return False
    return all(any(a <= w1 and w0 <= b for a, b in strong.bursts) for w0, w1 in weak.bursts)


def _union(bursts, gap=GAP_SECONDS):
    """(start, end) spans, in seconds, joined where they overlap or lie less than `gap` apart."""
    out = []
    for a, b in sorted(bursts):
        if out and a - out[-1][1] < gap:
            out[-1] = (out[-1][0], max(out[-1][1], b))
        else:
            out.append((a, b))
    return out


def _overlap_share(one, other):
    """The share of the time of bursts `one` that lies within bursts `other`."""
    total = sum(b - a for a, b in one)
    inside = sum(max(min(b, d) - max(a, c), 0.0) for a, b in one for c, d in other)
    return inside / total if total > 0 else 0.0


def _keyed_together(keyed):
    """The groups of signals that may be the tones of one transmitter, to try in turn: the
    signals whose bursts overlap for FSK_OVERLAP of their time or more, linked pair by pair;
    and within a group of more than two, each pair of it."""
    linked = {i: {i} for i in range(len(keyed))}
    for i, a in enumerate(keyed):
        for j in range(i + 1, len(keyed)):
            b = keyed[j]
            if min(_overlap_share(a.bursts, b.bursts),
                   _overlap_share(b.bursts, a.bursts)) >= FSK_OVERLAP:
                joined = linked[i] | linked[j]
                for k in joined:
                    linked[k] = joined
    out = []
    for group in sorted({tuple(sorted(g)) for g in linked.values() if len(g) > 1}):
        out.append([keyed[i] for i in group])
        if len(group) > 2:
            out += [[keyed[i], keyed[j]] for n, i in enumerate(group) for j in group[n + 1:]]
    return out


def _examined(bursts, samplerate, pad, samples):
    """The spans (first, end) in samples of the first bursts, FSK_SECONDS of them at most,
    each `pad` samples wider on either side, within the recording's `samples`."""
    spans, total = [], 0
    for a, b in bursts:
        first = max(int(a * samplerate) - pad, 0)
        end = min(int(b * samplerate) + pad, samples,
                  first + int(FSK_SECONDS * samplerate) - total)
        if end <= first:
            break
        spans.append((first, end))
        total += end - first
    return spans


def _read_spans(recording, plan, spans):
    """The samples of each span (first, end), less the receiver's DC offset (a running mean over
    FSK_DC_FRAMES frames), by span. The recording is read up to the end of the last span."""
    parts = {span: [] for span in spans}
    last = max((end for _, end in spans), default=0)
    position = 0
    for chunk in recording.chunks(plan.chunk):
        for first, end in spans:
            if first < position + len(chunk) and end > position:
                parts[first, end].append(chunk[max(first - position, 0):end - position])
        position += len(chunk)
        if position >= last:
            break
    out = {}
    for span, pieces in parts.items():
        x = np.concatenate(pieces) if pieces else np.zeros(0, np.complex64)
        width = min(FSK_DC_FRAMES * plan.frame, max(len(x), 1))
        out[span] = x - (scipy.ndimage.uniform_filter1d(x.real, width, mode="nearest")
                         + 1j * scipy.ndimage.uniform_filter1d(x.imag, width, mode="nearest"))
    return out


def _band_passed(x, offset, samplerate, taps):
    """`x` filtered by the low-pass `taps` shifted to `offset` hertz, as long as `x`: as if `x`
    were mixed to 0 Hz and low-passed, but for the phase, which turns at `offset`."""
    shifted = taps * np.exp(2j * np.pi * offset / samplerate * np.arange(len(taps)))
    return scipy.signal.oaconvolve(x, shifted, mode="same") if len(x) else x


def _proposed_tones(pieces, samplerate, signal):
    """Two tones within one signal's band: where its instantaneous frequency, while it is on,
    falls in two groups, the means of the two that split it best (the variance between them
    the largest), in hertz; None where there are too few samples to split."""
    fs, width = samplerate, signal.bandwidth_hz
    taps = scipy.signal.firwin(int(math.ceil(FSK_FILTER_PERIODS * fs / width)) | 1,
                               min(0.6 * width, 0.45 * fs), fs=fs)
    steps, powers = [], []
    for x in pieces:
        y = _band_passed(x, signal.offset_hz, fs, taps)
        turn = np.exp(-2j * np.pi * signal.offset_hz / fs)  # from one sample to the next
        step = np.angle(y[1:] * np.conj(y[:-1]) * turn) * fs / (2 * np.pi)
        steps.append(scipy.ndimage.uniform_filter1d(step, max(int(round(fs / width)), 1)))
        powers.append(y.real[1:] ** 2 + y.imag[1:] ** 2)
    step, power = np.concatenate(steps), np.concatenate(powers)
    v = np.sort(step[power > np.percentile(power, 90) / 10]) if len(power) else power
    if len(v) < 2 * FSK_MIN_HANDOVERS:
        return None
    below = np.cumsum(v)[:-1]
    k = np.arange(1, len(v))
    low, high = below / k, (below[-1] + v[-1] - below) / (len(v) - k)
    best = int(np.argmax(k * (len(v) - k) * (high - low) ** 2))
    return [signal.offset_hz + low[best], signal.offset_hz + high[best]]


@dataclass
class _Turns:
    """How tones share stretches of samples, sample by sample."""

    states: list  # a piece's samples: 0 where no tone is on, else 1 + the index of the one on
    level: np.ndarray  # each tone's power while on, less the noise, in the recording's units²
    handovers: int  # changes straight from one tone to another
    keying: int  # changes from silence to a tone or back
    together: np.ndarray  # each tone's mean power while another is on, over its level
    element_s: float  # the shortest element, or None where it cannot be measured

    def in_turn(self):
        """Whether the tones take turns: nearly every change goes straight from one tone to
        another, not through silence, and no tone keeps its power while another is on."""
        changes = self.handovers + self.keying
        return bool(self.handovers >= max(FSK_MIN_HANDOVERS, FSK_HANDOVERS * changes)
                    and np.all(self.together <= FSK_TOGETHER))


def _turns(pieces, samplerate, tones, noise_density):
    """Which of the tones is on, sample by sample: each tone mixed to 0 Hz and low-passed to
    half the spacing to its nearest neighbour. Where one stands half-way (in dB) from the noise
    to its level or higher, the one on is the one nearest its own level, unless several stand
    above FSK_SEVERAL of theirs: several are on at once.

    Parameters
    ----------
    pieces : list of numpy.ndarray
        complex64 samples: the bursts, and a little before and after them.
    samplerate : int
        Samples per second.
    tones : list of float
        The tones' offsets, hertz.
    noise_density : callable
        The noise power per hertz (in the recording's units squared) at each frequency (hertz).

    Returns
    -------
    _Turns or None
        None where two tones are one, the filters outlast the samples, or a tone stands less
        than FSK_MIN_SNR_DB above the noise through its filter.
    """
    fs = samplerate
    spacing = float(np.min(np.diff(np.sort(tones))))
    if spacing <= 0 or FSK_FILTER_PERIODS * fs / spacing > sum(len(x) for x in pieces) / 8:
        return None
    length = int(math.ceil(FSK_FILTER_PERIODS * fs / spacing)) | 1
    taps = scipy.signal.firwin(length, spacing / 2, fs=fs)
    noise = noise_density(np.asarray(tones)) * fs * float(np.sum(taps ** 2) / np.sum(taps) ** 2)
    powers = [np.array([np.abs(_band_passed(x, f, fs, taps)) ** 2 for f in tones])
              for x in pieces]
    level = np.percentile(np.concatenate(powers, axis=1), FSK_LEVEL_PERCENTILE, axis=1) - noise
    if np.any(level < noise * 10 ** (FSK_MIN_SNR_DB / 10)):
        return None
    threshold = np.sqrt((level + noise) * noise)
    glitch = int(math.ceil(fs / spacing))
    handovers = keying = short = 0
    beside, count = np.zeros(len(tones)), np.zeros(len(tones))
    states, elements = [], []
    for p in powers:
        share = (p - noise[:, None]) / level[:, None]  # of each tone's level
        on = (p > threshold[:, None]).any(axis=0)
        which = np.argmax(share, axis=0)
        for i in range(len(tones)):
            others = on & (which != i)
            beside[i] += p[i, others].sum()
            count[i] += others.sum()
        # Where the filters hand over, each tone has a quarter of its level.
        several = (share > FSK_SEVERAL).sum(axis=0) > 1
        state = np.where(on, np.where(several, -1, which + 1), 0)
        values, lengths, dropped = _steady_runs(state, glitch, length)
        short += dropped
        direct = (values[1:] > 0) & (values[:-1] > 0)
        handovers += int(direct.sum())
        keying += len(direct) - int(direct.sum())
        inner = direct[1:] & direct[:-1]  # runs of a tone between two others
        elements.append(lengths[1:-1][inner])
        states.append(np.repeat(values, lengths))
    with np.errstate(invalid="ignore", divide="ignore"):
        together = (beside / count - noise) / level
    element = _shortest_element(np.concatenate(elements), glitch, short)
    return _Turns(states, level, handovers, keying, together,
                  None if element is None else element / fs)


def _steady_runs(state, glitch, bridge):
    """The runs of equal values in `state` (0 silence, -1 several tones at once, else one tone)
    less what noise and the filters make of them: a run shorter than `glitch` samples goes to
    the run before it (the first, to the next); then what lies between two tones and is no tone,
    where it lasts less than `bridge` samples in all (a dip while the filters hand over from one
    tone to another), half to each.

    Returns
    -------
    (numpy.ndarray, numpy.ndarray, int)
        The values and lengths of the runs left, no two neighbours alike; and how many runs
        of one tone, between two others, were too short to keep.
    """
    starts = np.concatenate(([0], np.flatnonzero(np.diff(state)) + 1))
    lengths = np.diff(np.concatenate((starts, [len(state)])))
    values, runs, short = [], [], 0

    def add(value, n):
        if values and values[-1] == value:
            runs[-1] += n
        else:
            values.append(value)
            runs.append(n)

    raw = state[starts]
    # A tone too short to keep between two others: an element the filters blur, or noise.
    between = np.concatenate(([False], (raw[:-2] > 0) & (raw[2:] > 0), [False]))
    owed = 0  # what went before the first run kept
    for value, n, inner in zip(raw, lengths, between):
        if n < glitch:
            short += bool(value > 0 and inner)
            owed += n
            if runs:
                runs[-1], owed = runs[-1] + owed, 0
        else:
            add(value, n + owed)
            owed = 0
    kept_values, kept_runs = values, runs
    values, runs = [], []
    k = 0
    while k < len(kept_values):
        end = k
        while end < len(kept_values) and kept_values[end] <= 0:
            end += 1
        if end == k:
            add(kept_values[k], kept_runs[k])
            k += 1
            continue
        dip = sum(kept_runs[k:end])
        if values and end < len(kept_values) and dip < bridge:
            runs[-1] += dip // 2
            kept_runs[end] += dip - dip // 2
        else:
            for j in range(k, end):
                add(kept_values[j], kept_runs[j])
        k = end
    return np.array(values, dtype=np.int64), np.array(runs, dtype=np.int64), short


def _shortest_element(lengths, glitch, short):
    """The shortest common element, in samples, from the lengths of the runs of one tone
    between two changes: the median of the shortest of the groups of runs within
    FSK_ELEMENT_SPREAD of one another that hold half as many as the largest such group, or
    more (an element is the commonest run in every coding, or near it), the group then centred
    on its median.

    None where fewer than FSK_MIN_HANDOVERS runs lie between two changes; where the element
    lies too near the shortest run counted (`glitch` samples) to be told from what the filters
    blur; or where FSK_ELEMENT_SHARE of the runs, or more, are shorter than that group, or were
    too short to count (`short` of them): elements too short to measure, or noise.
    """
    if len(lengths) < FSK_MIN_HANDOVERS:
        return None
    v = np.sort(lengths)
    within = np.searchsorted(v, FSK_ELEMENT_SPREAD * v, side="right") - np.arange(len(v))
    first = int(np.argmax(within >= within.max() / 2))
    element = float(np.median(v[first:first + within[first]]))
    half = math.sqrt(FSK_ELEMENT_SPREAD)
    for _ in range(2):
        element = float(np.median(v[(v >= element / half) & (v <= element * half)]))
    shorter = int(np.sum(v < element / half)) + short
    if shorter >= FSK_ELEMENT_SHARE * len(v) or element < FSK_RESOLVED * glitch:
        return None
    return element


def _tone_bands(pieces, turns, samplerate, tones, noise_density, longest):
    """Each tone's offset and occupied bandwidth in hertz, and power while on (in the
    recording's units squared), from the spectrum of the samples while it is on, the others off:
    the power-weighted mean frequency in the band that holds OBW_FRACTION of its power within
    half the spacing of it, that band's width, and all its power there less the noise. None
    where a tone holds no power. `longest` caps the spectrum's length, in samples."""
    fs = samplerate
    spacing = float(np.min(np.diff(np.sort(tones))))
    x = np.concatenate(pieces)
    length = min(longest, pow2_at_most(len(x) // 8))
    state = np.concatenate(turns.states)
    bands = []
    for i, tone in enumerate(tones):
        on = state == i + 1
        f, psd = scipy.signal.welch(x * on, fs, window="hann", nperseg=length,
                                    return_onesided=False, detrend=False)
        order = np.argsort(f)
        f, psd = f[order], psd[order]
        mine = (np.abs(f - tone) <= spacing / 2) & (np.abs(f) > 2.5 * fs / length)
        duty = np.mean(on)
        excess = np.maximum(psd - noise_density(f) * duty, 0.0) * mine
        band = _occupied(f, excess, fs / length)
        if band is None:
            return None
        bands.append((*band, float(excess.sum()) * fs / length / duty))
    return bands


def _tones_of(group, pieces, samplerate, density, plan):
    """The one signal that a group of signals, or the band of one, makes where it holds tones
    that take turns (with a shift wider than each tone's occupied band); None where not."""
    if len(group) > 1:
        proposed = [s.offset_hz for s in group]
    else:
        proposed = _proposed_tones(pieces, samplerate, group[0])
        if proposed is None or proposed[1] - proposed[0] < group[0].bandwidth_hz / 2:
            return None
    turns = _turns(pieces, samplerate, proposed, density)
    if turns is None or not turns.in_turn():
        return None
    bands = _tone_bands(pieces, turns, samplerate, proposed, density, plan.fine)
    if bands is None:
        return None
    offsets = [offset for offset, _, _ in bands]
    if np.min(np.diff(np.sort(offsets))) <= max(width for _, width, _ in bands):
        return None
    tones = sorted(((Tone(offset, width, 10 * math.log10(power / (density(offset) * width))),
                     power) for offset, width, power in bands), key=lambda t: -t[0].power_db)
    strongest, power = tones[0]
    bursts = _union([b for s in group for b in s.bursts])
    return dataclasses.replace(
        max(group, key=lambda s: s.power_db), offset_hz=strongest.offset_hz,
        bandwidth_hz=strongest.bandwidth_hz, power_db=strongest.power_db, power=power,
        bursts=bursts, start_s=bursts[0][0], fsk=Fsk([t for t, _ in tones],
                                                     max(offsets) - min(offsets), turns.element_s))


def _frequency_keyed(recording, plan, floors, signals):
    """`signals`, the tones of each frequency-keyed transmitter among them made one signal.

    Groups of signals whose bursts overlap for the most part are tried, then each signal alone (the
    tones of a small shift can lie in one signal's band). The samples of their first bursts are
    read, and the tones are one transmitter where, sample by sample, they take turns (see
    _Turns.in_turn), and lie farther apart than each one's occupied band.
    """
    fs = plan.samplerate
    keyed = [s for s in signals if not s.steady]
    tried = [(group, _union([b for s in group for b in s.bursts]))
             for group in _keyed_together(keyed)] + [([s], s.bursts) for s in keyed]
    tried = [(group, _examined(bursts, fs, plan.frame, recording.samples))
             for group, bursts in tried]
    if not tried:
        return signals
    samples = _read_spans(recording, plan, {span for _, spans in tried for span in spans})
    floor = np.mean([f for f in floors if f is not None], axis=0) * plan.frame / fs

    def density(f):  # the noise power per hertz at each frequency (hertz)
        k = np.round(np.asarray(f) * plan.frame / fs).astype(int) + plan.frame // 2
        return floor[np.clip(k, 0, plan.frame - 1)]

    merged, taken = [], set()
    for group, spans in tried:
        if not any(id(s) in taken for s in group):
            one = _tones_of(group, [samples[span] for span in spans], fs, density, plan)
            if one is not None:
                merged.append(one)
                taken.update(id(s) for s in group)
    return [s for s in signals if id(s) not in taken] + merged


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
    kept = _frequency_keyed(recording, plan, floors, kept)
    return sorted(kept, key=lambda s: -s.power_db)
