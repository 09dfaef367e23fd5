"""Taps and mixer designed for the whole chain: what reaches iqenv's output is what counts.

The promise, at iqenv's output: every tone within bandwidth/2 of the centre comes through within
PASS_RIPPLE_DB of the gain at the centre, with no second product beating against it; every tone
farther than one bandwidth from the centre, the image included, is at least `rejection` dB down.

Only what the resampler lets through needs the taps: the chain's response weights the fit, and
frequencies that the resampler removes on its own cost no taps. The taps are a weighted least-
squares fit on a frequency grid, held to the gain at the centre, reweighted (Lawson) towards the
minimax solution: short designs put their zeros on the image band; long ones approach equiripple.
"""
import enum
import math
from dataclasses import dataclass

import numpy as np
import scipy.linalg

from . import facts
from .chain import Chain
from .response import PASS_RIPPLE_DB, Assessment, assess
from .units import fold, format_hz, plain_hz, signed_hz

# When the resampler's own droop sets the widest channel, it may take this much of the ripple;
# the rest is left to the taps.
DROOP_DB = 0.25
DEFAULT_REJECTION = 80.0
DESIGN_WIDTHS = 2  # design --recording: the narrowest channel, in occupied bandwidths
MAX_REJECTION = 130.0  # float32 taps round at about 150 dB below their largest
MAX_TAPS = 4096  # about four times the floor's CPU time
LAWSON_ITERATIONS = 60
CAP = 4.0  # the taps' gain anywhere, at most this times (12 dB) their gain in the channel


def _round_down(hz):
    step = 100 if hz >= 1000 else 10 ** math.floor(math.log10(max(hz, 1e-3)) - 1)
    return math.floor(hz / step) * step


def _keeps(a, rejection, null=False):
    return (a.ripple_db <= PASS_RIPPLE_DB and a.rejection_db >= rejection
            and a.second_db >= rejection and a.above_edge_db <= 0
            and (not null or a.dc_db >= rejection))


class DesignError(Exception):
    """A request nothing can meet; str() says why and what would work."""


@dataclass
class Design:
    taps: np.ndarray  # complex64, as written
    mixer: np.float32
    samplerate: int
    center: float  # within [-fs/2, fs/2)
    bandwidth: float
    rejection: float
    gain: float  # at iqenv's output for a tone at the centre, before its factor of 10000
    chose_mixer: bool
    bandwidth_note: str  # why the default bandwidth is what it is ("" when given)
    assessment: Assessment
    flat: float  # width of the pass band: the bandwidth, or less where a notch takes 0 Hz
    notch: bool  # the taps pass nothing at 0 Hz, where the receiver's DC offset sits
    dc_note: str  # what the design does about 0 Hz, when it lies within a bandwidth ("" else)

    @property
    def met(self):
        """Whether the taps as written keep the promise (not always so with a given count)."""
        return _keeps(self.assessment, self.rejection, self.notch)


def _grid(samplerate, num_taps):
    """FFT size for the fit: 16 points per 1/num_taps of the rate, and at most 25 Hz apart up
    to 2^19 points (13 MS/s; 117 Hz apart at 61.44 MS/s, still some 200 points across an image
    band, and the promise is checked on an exact dense grid after the fit)."""
    points = max(min(samplerate / 25.0, 1 << 19), 16 * num_taps, 1 << 12)
    return 1 << int(math.ceil(math.log2(points)))


class _Requirement:
    """The promise for one mixer, on the FFT grid: targets, bounds and where they apply."""

    def __init__(self, chain, center, bandwidth, rejection, points, flat, null):
        fs = chain.samplerate
        self.points = points
        self.g = np.fft.fftfreq(points, 1.0 / fs)
        self.center = center
        paths = chain.paths(self.g)
        at_center = chain.paths(np.array([center]))[:, 0]
        self.main = int(np.argmax(at_center))
        self.center_path = float(at_center[self.main])
        signed = fold(self.g - center, fs)
        d = np.abs(signed)
        # One grid step past each edge: the promise holds between the grid's points too.
        step = fs / points
        self.passing = d <= flat / 2 + step
        self.null = null  # the taps pass nothing at 0 Hz
        # Outside the channel nothing may come through louder than the edge on its side: per
        # side, the grid points that bound the level there, and the points measured against it.
        self.main_path = paths[self.main]
        self.total = paths.sum(axis=0)
        self.sides = []
        for side in (signed > 0, signed < 0):
            edge = np.flatnonzero(side & self.passing & (d >= flat / 2 - step))
            self.sides.append((edge, np.flatnonzero(side & ~self.passing)))
        # Unit level at the centre; in the pass band the taps undo the resampler's droop.
        self.target = np.zeros(points)
        self.target[self.passing] = 1.0 / paths[self.main][self.passing]
        self.tolerance = 1 - 10 ** (-PASS_RIPPLE_DB / 20)
        total = self.total  # a bound on the level of two products
        limit = 10 ** (-rejection / 20)
        with np.errstate(divide="ignore"):
            bound = np.where(d > bandwidth - step, limit / total, np.inf)
            if len(paths) == 2:
                # Between the pass band and the stop band, whatever comes through does not beat.
                weak = limit / paths.min(axis=0)
                bound = np.minimum(bound, np.where(d > flat / 2 + step, weak, np.inf))
        # Nowhere outside the channel may the taps exceed their gain in it by more than CAP:
        # what the resampler removes today moves into its band under another mixer, and a tap
        # gain far above the channel's would then beat everything in it.
        capped = np.minimum(bound, np.where(d > flat / 2 + step, CAP / self.center_path,
                                            np.inf))
        self.stop = np.isfinite(capped)
        self.bound = capped
        # The cap starts with almost no weight: it only comes into play where it is broken.
        self.start_weight = np.where(np.isfinite(bound), 1 / bound ** 2, 1e-6 / capped ** 2)
        self.delay_phase = np.exp(-2j * np.pi * fold(self.g - center, fs) / fs)

    def errors(self, response):
        """Normalised errors per grid point: at most 1 everywhere when the promise is kept."""
        e = np.zeros(self.points)
        p, s = self.passing, self.stop
        e[p] = np.abs(np.abs(response[p]) / self.target[p] - 1) / self.tolerance
        e[s] = np.abs(response[s]) / self.bound[s]
        magnitude = np.abs(response)
        for edge, beyond in self.sides:
            level = np.min(magnitude[edge] * self.main_path[edge])
            e[beyond] = np.maximum(e[beyond], magnitude[beyond] * self.total[beyond] / level)
        return e


def _fit(req, num_taps, samplerate, iterations=LAWSON_ITERATIONS):
    """The best taps found for `num_taps`, and their largest normalised error."""
    n = num_taps
    w = np.zeros(req.points)
    w[req.passing] = 1 / (req.tolerance * req.target[req.passing]) ** 2
    w[req.stop] = req.start_weight[req.stop]
    w /= w.sum()
    desired = np.zeros(req.points, dtype=np.complex128)
    desired[req.passing] = req.target[req.passing] * req.delay_phase[req.passing] ** ((n - 1) / 2)
    # T(centre) = a^H h is held at the level that gives unit gain through the chain; with a
    # notch, T(0) = sum h at 0.
    held_at = [req.center] + ([0.0] if req.null else [])
    a = np.exp(2j * np.pi * np.outer(np.arange(n), held_at) / samplerate)
    held = np.array([1 / req.center_path] + [0.0] * req.null)
    if n < len(held_at):
        return np.zeros(n, dtype=np.complex128), np.inf
    best_error, best = np.inf, None
    history = []
    for _ in range(iterations):
        q = np.fft.ifft(w) * req.points
        b = np.fft.ifft(w * desired) * req.points
        # A touch of ridge keeps the system solvable where the grid leaves taps unconstrained.
        column = q[:n].copy()
        column[0] += 1e-9 * column[0].real
        rhs = np.column_stack([b[:n], a])
        if n <= 256:
            matrix = scipy.linalg.toeplitz(column, np.conj(column))
            solved = scipy.linalg.solve(matrix, rhs, assume_a="her")
        else:
            solved = scipy.linalg.solve_toeplitz((column, np.conj(column)), rhs)
        hb, ha = solved[:, 0], solved[:, 1:]
        h = hb + ha @ np.linalg.solve(a.conj().T @ ha, held - a.conj().T @ hb)
        e = req.errors(np.fft.fft(h, req.points))
        worst = float(e.max())
        if worst < best_error:
            best_error, best = worst, h
        history.append(worst)
        # Hopeless, or no longer improving, or met and given a few rounds to gain a margin.
        met = [i for i, x in enumerate(history) if x <= 1]
        # (The first rounds swing widely; later ones rarely gain more than a fifth.)
        if (len(history) >= 12 and min(history) > 2.5) or (len(history) >= 25 and min(history) > 1.2)\
                or (met and len(history) - met[0] > 8) or (
                len(history) > 15 and min(history[-5:]) > 0.995 * min(history[:-5])):
            break
        w = w * e
        w /= w.sum()
    return best, best_error


def _design_taps(chain, center, bandwidth, rejection, num_taps, margin, flat, null,
                 most=MAX_TAPS):
    """(taps, error) for exactly num_taps; or the fewest taps that meet the promise, None if
    that takes more than `most`.

    `margin`: hertz from the pass band's edge to the nearest tone the taps must remove.
    `flat`: the width of the pass band, `bandwidth` or less; `null`: a notch at 0 Hz.
    """
    fs = chain.samplerate

    requirements = {}  # per grid size: the chain's response on it is the slow part

    def attempt(n):
        points = _grid(fs, n)
        if points not in requirements:
            requirements[points] = _Requirement(chain, center, bandwidth, rejection, points,
                                                     flat, null)
        return _fit(requirements[points], n, fs)

    if num_taps is not None:
        return attempt(num_taps)
    found = {}

    def meets(n):
        if n not in found:
            taps, error = attempt(n)
            # The fit's grid is a sample; the promise is checked densely on the taps as written.
            if error <= 1:
                written = Chain(chain.frequency, fs, taps.astype(np.complex64), chain.stages)
                if not _keeps(assess(written, center, bandwidth, flat=flat), rejection, null):
                    error = np.inf
            found[n] = taps, error
        return found[n][1] <= 1

    # A windowed design would need about `kaiser` taps for this margin; the fit's don't-care
    # bands save much of that, but never as much as two thirds.
    kaiser = (rejection - 8) / (2.285 * 2 * math.pi * margin / fs) if margin > 0 else math.inf
    if kaiser / 3 > most:  # the fewest it has taken is a third of that, the most a half
        return None
    n = 1
    while n <= min(16, most) and not meets(n):
        n += 1
    if n > most:
        return None
    if n > 16:
        lo, n = 16, min(max(24, int(kaiser / 3)), most)
        while not meets(n):
            if n >= most:
                return None
            lo, n = n, min(int(n * 1.25), most)
        while n - lo > max(1, n // 50):
            mid = (lo + n) // 2
            lo, n = (lo, mid) if meets(mid) else (mid, n)
    return found[n]


def _too_many_taps(bandwidth, samplerate):
    return (f"This channel needs more than {MAX_TAPS} taps at {samplerate} samples per second; "
            f"a wider --bandwidth (now {bandwidth:g} Hz), a lower --rejection or a lower sample "
            "rate needs fewer")


def _cosine_table_period():
    """iqenv's cosine factors come from a table when their period, samplerate / gcd(f,
    samplerate) samples, is at most this; a chosen mixer frequency keeps to such values."""
    return facts.get()["cosine_table_period"]


class MixerProblem(enum.IntEnum):
    """What keeps a mixer frequency from serving a channel."""

    NONE = 0  # it serves
    LEAVES_FLAT_BAND = 1  # the channel lands beyond the band the resampler keeps flat
    SECOND_PRODUCT_BEATS = 2  # a tone within one bandwidth of the centre has a second product
    #                           inside the resampler's band, beating against the first


class _Mixers:
    """Which mixer frequencies keep a channel flat and free of beats, for one sample rate."""

    def __init__(self, samplerate, center, rejection):
        self.fs = samplerate
        self.center = center
        self.rejection = rejection
        self.limit = 10 ** (-rejection / 20)
        chain = Chain(0.0, samplerate)
        self.after = chain.after_mixer
        dc = self.dc = float(self.after(np.array([0.0]))[0])
        # How far either side of DC the resampler stays within DROOP_DB: the widest channel.
        step = min(5.0, samplerate / 2000)
        grid = np.arange(0, min(14000, samplerate / 2), step)
        flat = self.after(grid) >= dc * 10 ** (-DROOP_DB / 20)
        self.flat_edge = float(grid[np.argmin(flat)] - step) if not flat.all() else grid[-1]
        self.step = self._step(samplerate)
        # How far from a product's frequency the stages after the mixer pass more than the limit.
        wide = np.arange(0, min(samplerate / 2, 100e3), 25.0)
        above = wide[self.after(wide) > self.limit]
        self.reach = above[-1] + 25.0 if len(above) else 0.0
        self.passes_everywhere = bool(self.after(np.array([samplerate / 2 - 1.0]))[0] > self.limit)

    @staticmethod
    def _step(samplerate):
        """Smallest divisor d of the rate with samplerate / d at most iqenv's cosine table period,
        if one fine enough to place a mixer exists (up to 1 kHz); else 1 Hz, and no table."""
        for d in range(max(1, -(-samplerate // _cosine_table_period())), 1001):
            if samplerate % d == 0:
                return d
        return 1

    def widest(self):
        """The widest channel the resampler keeps flat, rounded down to 100 Hz (two digits below
        1 kHz, at the lowest rates)."""
        return _round_down(2 * self.flat_edge)

    def candidates(self):
        c = abs(self.center)
        reach = self.flat_edge + 14e3
        base = round(c / self.step) * self.step
        k = np.arange(-int(reach / self.step) - 1, int(reach / self.step) + 2)
        near = base + k * self.step
        exact = [float(round(c))] if self.fs // math.gcd(round(c), self.fs) <= \
            _cosine_table_period() else []
        near = np.concatenate((near, exact))
        near = near[(near > 0) & (near < self.fs / 2)]
        return np.unique(np.concatenate(([0.0, self.fs / 2], near)))

    def problems(self, mixers, bandwidth):
        """Per mixer, the MixerProblem that keeps it from serving the channel (an int array:
        MixerProblem.NONE where it serves).

        Beyond the pass band the taps could still remove such a tone, but only with a steep
        edge right at the pass band: no mixer that needs one is offered.
        """
        g = self.center + np.linspace(-bandwidth, bandwidth, 81)
        f = np.abs(np.asarray(mixers, dtype=np.float64))[:, None]
        # The products at g - f and g + f; at 0 and fs/2 they coincide, and that one product
        # has the cosine's whole amplitude.
        below, above = self.after(g - f), self.after(g + f)
        at = self.after(np.stack((self.center - f[:, 0], self.center + f[:, 0])))
        first_below = (at[0] >= at[1])[:, None]
        main = np.where(first_below, below, above)[:, 20:61]  # the pass band
        second = np.where(first_below, above, below)
        single = (f[:, 0] == 0) | (f[:, 0] == self.fs / 2)
        out = np.full(len(f), MixerProblem.NONE, dtype=int)
        beats = np.any(second > self.limit * np.maximum(at[0], at[1])[:, None], axis=1)
        out[beats & ~single] = MixerProblem.SECOND_PRODUCT_BEATS
        leaves = np.any(main < self.dc * 10 ** (-DROOP_DB / 20), axis=1)
        out[leaves] = MixerProblem.LEAVES_FLAT_BAND
        return out

    def serves(self, mixers, bandwidth):
        """Per mixer, whether it serves the channel (a bool array)."""
        return self.problems(mixers, bandwidth) == MixerProblem.NONE

    def serving(self, bandwidth):
        mixers = self.candidates()
        return mixers[self.serves(mixers, bandwidth)]

    def widest_for(self, mixers=None):
        """The widest channel (to 10 Hz) that some mixer in `mixers` (default: any) serves."""
        lo, hi = 0.0, float(self.widest())
        mixers = self.candidates() if mixers is None else np.asarray(mixers, dtype=np.float64)
        if self.serves(mixers, hi).any():
            return hi
        if not self.serves(mixers, 10.0).any():
            return 0.0
        lo = 10.0
        while hi - lo > 10:
            mid = (lo + hi) / 2
            lo, hi = (mid, hi) if self.serves(mixers, mid).any() else (lo, mid)
        return _round_down(lo)

    def margin(self, mixer, bandwidth):
        """Distance from the pass band's edge to the nearest tone the taps must remove."""
        if self.passes_everywhere:
            return bandwidth / 2
        nearest = np.inf
        for shift, _ in Chain(mixer, self.fs).products:
            # Tones within `reach` of -shift pass the stages after the mixer.
            gap = abs(float(fold(-shift - self.center, self.fs)))
            if gap + self.reach > bandwidth:  # part of them lies beyond one bandwidth
                nearest = min(nearest, max(gap - self.reach, bandwidth))
        return nearest - bandwidth / 2

    def order(self, mixers, bandwidth):
        """Mixers by promise of fewest taps: widest margin, then nearest the centre."""
        def key(f):
            margin = self.margin(f, bandwidth)
            rounded = float(f"{margin:.2g}") if math.isfinite(margin) else margin
            return -rounded, abs(f - abs(self.center))

        return sorted(mixers, key=key)


def _refuse_mixer(mixers, mixer, bandwidth):
    """Why the given mixer cannot serve the channel, and what would."""
    problem = MixerProblem(int(mixers.problems([mixer], bandwidth)[0]))
    chain = Chain(mixer, mixers.fs)
    shifts = [s for s, _ in chain.products]
    lo, hi = mixers.center - bandwidth / 2, mixers.center + bandwidth / 2
    main = int(np.argmax(chain.paths(np.array([mixers.center]))[:, 0]))
    if problem == MixerProblem.LEAVES_FLAT_BAND:
        s = shifts[main]
        why = (f"with the mixer at {plain_hz(abs(mixer))} the channel ({lo:.6g} to "
               f"{plain_hz(hi)}) lands at {lo + s:.6g} to {plain_hz(hi + s)}, beyond the "
               f"+-{plain_hz(mixers.flat_edge)} the resampler keeps flat")
    else:
        s = shifts[1 - main]
        why = (f"with the mixer at {plain_hz(abs(mixer))} the channel's second product lands at "
               f"{fold(lo + s, mixers.fs):.6g} to {plain_hz(fold(hi + s, mixers.fs))}, inside "
               f"the band the resampler keeps: the envelope would beat at "
               f"{plain_hz(2 * abs(mixer))}")
    return DesignError(f"{why}; {_alternatives(mixers, bandwidth, mixer)}")


def _alternatives(mixers, bandwidth, mixer=None):
    options = []
    serving = mixers.serving(bandwidth)
    if 0.0 in serving:
        options.append("the mixer at 0 (--mixer 0)")
    runs = _runs(serving[serving > 0], mixers.step)
    if runs:
        options.append("--mixer " + " or ".join(
            plain_hz(a) if a == b else f"{a:.6g} to {plain_hz(b)}" for a, b in runs[:3]))
    if mixer is not None:
        narrow = mixers.widest_for([mixer])
        if narrow > 0:
            options.append(f"--bandwidth {narrow:g} or less with this mixer")
    widest = mixers.widest_for()
    if widest < bandwidth and widest > 0:
        options.append(f"--bandwidth {widest:g} or less"
                       + ("" if mixer is None else " without --mixer"))
    if not options:
        return ("what would work: a lower --rejection (the resampler alone is no further down "
                "at this sample rate)")
    return "what would work: " + ", ".join(options)


def _runs(values, step):
    """Consecutive grid values as (first, last) pairs."""
    runs = []
    for v in np.sort(values):
        if runs and v - runs[-1][1] <= step * 1.5:
            runs[-1][1] = v
        else:
            runs.append([v, v])
    return [(float(a), float(b)) for a, b in runs]


def widest_bandwidth(samplerate):
    """The widest channel the resampler keeps flat at this rate: the default bandwidth, before a
    centre narrows it: for `samplerate` input samples per second, a bandwidth in hertz (a
    float), rounded down to 100 Hz (two digits below 1 kHz)."""
    return _Mixers(samplerate, 0.0, DEFAULT_REJECTION).widest()


def default_bandwidth(center, samplerate, rejection=DEFAULT_REJECTION, mixer=None):
    """The bandwidth design() takes when none is given: the widest the resampler keeps flat,
    narrowed where the centre (and a given mixer) allow less.

    Parameters
    ----------
    center : float
        Centre of the channel, hertz.
    samplerate : int
        Input samples per second.
    rejection : float
        The rejection asked for, dB.
    mixer : float, optional
        The mixer frequency given, hertz; any by default.

    Returns
    -------
    float
        Bandwidth in hertz; 0 where nothing serves.
    """
    mixers = _Mixers(samplerate, fold(center, samplerate), rejection)
    given = None if mixer is None else [abs(fold(np.float32(mixer), samplerate))]
    return min(mixers.widest(), mixers.widest_for(given))


def design(center, bandwidth, rejection, mixer, samplerate, num_taps, gain, dc_notch=True,
           occupied=None):
    """The taps (the fewest, unless num_taps is given) and mixer for a channel.

    Parameters
    ----------
    center : float
        Where the signal is, hertz from the tuned frequency.
    bandwidth : float or None
        Width of the channel, hertz; None for the widest the resampler keeps flat, narrowed
        where the centre allows less.
    rejection : float
        Least attenuation beyond one bandwidth from the centre, dB.
    mixer : float or None
        The cosine's frequency, hertz; None to choose it here.
    samplerate : int
        Input samples per second.
    num_taps : int or None
        Exactly this many taps; None for the fewest that keep the promise.
    gain : float
        Level at iqenv's output for a unit tone at the centre, before iqenv's factor of 10000.
    dc_notch : bool
        Where 0 Hz (the receiver's DC offset) is not rejected, put a null there; the flat band
        then keeps to the half of the way to 0 Hz nearer the centre.
    occupied : float or None
        The signal's occupied bandwidth, hertz, when known: a notch never takes any of it.

    Returns
    -------
    Design

    Raises
    ------
    DesignError
        When nothing can keep the promise; its text says why and what would work.
    """
    _check_values(center, rejection, gain, bandwidth, samplerate)
    center = fold(center, samplerate)
    mixers = _Mixers(samplerate, center, rejection)
    given = None if mixer is None else fold(np.float32(mixer), samplerate)
    bandwidth, note = _bandwidth(mixers, bandwidth, given)
    choices = _mixer_choices(mixers, given, bandwidth, center)
    best, dc_note = _with_dc_notch(choices, mixers, center, bandwidth, rejection, num_taps,
                                   dc_notch, occupied)
    if best is None:
        raise DesignError(_too_many_taps(bandwidth, samplerate))
    f, taps, _, flat, null = best
    taps = (taps * gain).astype(np.complex64)
    chain = Chain(f, samplerate, taps)
    return Design(taps, np.float32(f), samplerate, center, bandwidth, rejection, gain,
                  given is None, note, assess(chain, center, bandwidth, flat=flat), flat, null,
                  dc_note)


def _check_values(center, rejection, gain, bandwidth, samplerate):
    """Refuses values no design can take (DesignError, saying which)."""
    if not math.isfinite(center):
        raise DesignError("Center is not a finite number")
    if not (math.isfinite(rejection) and 0 < rejection <= MAX_REJECTION):
        raise DesignError(f"Rejection must be above 0 and at most {MAX_REJECTION:g} dB")
    if not (math.isfinite(gain) and gain > 0):
        raise DesignError("Gain must be a finite number above 0")
    if bandwidth is not None and not (math.isfinite(bandwidth) and 0 < bandwidth < samplerate / 2):
        raise DesignError(
            f"Bandwidth must be above 0 and below half the sample rate ({samplerate / 2:g} Hz)")


def _bandwidth(mixers, bandwidth, given):
    """The channel's width, hertz, and why in words ("" where it was given): a given width
    checked against what the resampler keeps flat; none, the widest that keeps flat at this
    centre (with the `given` mixer, where there is one)."""
    widest = mixers.widest()
    if bandwidth is not None:
        if bandwidth > widest:
            raise DesignError(f"A {plain_hz(bandwidth)} channel is wider than the resampler "
                              f"keeps flat ({plain_hz(widest)} at this sample rate): give "
                              f"--bandwidth {widest:g} or less")
        return bandwidth, ""
    narrower = mixers.widest_for(None if given is None else [abs(given)])
    if narrower >= widest:
        return widest, "the widest the resampler keeps flat"
    if narrower <= 0:
        if given is not None:
            raise _refuse_mixer(mixers, abs(given), mixers.widest_for() or 10.0)
        narrower = 10.0  # refused later, with what would work
    return narrower, ("the widest that keeps flat at this centre without a beat"
                      + ("" if given is None else " with this mixer"))


def _mixer_choices(mixers, given, bandwidth, center):
    """The mixer frequencies to design taps for: the `given` one, where it serves; else the one
    with the best margin, and a second with another margin, which may still need fewer taps."""
    if given is not None:
        if not mixers.serves([abs(given)], bandwidth)[0]:
            raise _refuse_mixer(mixers, abs(given), bandwidth)
        return [given]
    serving = mixers.serving(bandwidth)
    if len(serving) == 0:
        raise DesignError(f"No mixer frequency keeps a {plain_hz(bandwidth)} channel at "
                          f"{plain_hz(center)} flat without a beat; "
                          + _alternatives(mixers, bandwidth))
    ordered = mixers.order(serving, bandwidth)
    first = mixers.margin(ordered[0], bandwidth)
    return [ordered[0]] + [f for f in ordered[1:2] if mixers.margin(f, bandwidth) != first]


def _with_dc_notch(choices, mixers, center, bandwidth, rejection, num_taps, dc_notch,
                   occupied):
    """The best design among `choices` (_best), with a notch at 0 Hz where 0 Hz lies within
    one bandwidth of the centre and is not rejected: the receiver's DC offset would beat with
    the signal. A notch takes the half of the way from 0 Hz to the centre nearer 0 Hz, the flat
    band the other half; none where asked, where the centre is 0, where the signal's `occupied`
    band reaches that half, or where it would need more than MAX_TAPS taps.
    Returns (best or None, the note on 0 Hz)."""
    reached = abs(center) <= bandwidth
    fits = center != 0 and (occupied is None or occupied <= abs(center))
    notched = dc_notch and reached and fits
    flat = min(bandwidth, abs(center)) if notched else bandwidth
    best = _best(choices, mixers, center, bandwidth, rejection, num_taps, flat, notched)
    dc_note = ""
    if notched and best is None:
        flat, notched = bandwidth, False
        best = _best(choices, mixers, center, bandwidth, rejection, num_taps, flat, notched)
        dc_note = (f"no notch at 0 Hz: the signal is too near it for one within {MAX_TAPS} taps; "
                   "the receiver's DC offset beats with it")
    elif reached and not notched:
        why = ", as asked" if not dc_notch else (
            ": the channel is centred on it" if center == 0 else
            ": the signal's band reaches within half the way to it")
        dc_note = f"no notch at 0 Hz{why}; the receiver's DC offset beats with the signal"
    return best, dc_note


def _best(choices, mixers, center, bandwidth, rejection, num_taps, flat, null):
    """(mixer, taps, error, flat, null) for the candidate mixer that needs the fewest taps;
    None if none keeps the promise within MAX_TAPS."""
    best = None
    for f in choices:
        # A later candidate only counts if it needs fewer taps.
        margin = mixers.margin(f, bandwidth)
        if null:  # from the flat band's edge down to the notch
            margin = min(margin, abs(center) - flat / 2)
        found = _design_taps(Chain(f, mixers.fs), center, bandwidth, rejection, num_taps,
                             margin, flat, null, MAX_TAPS if best is None else len(best[1]) - 1)
        if found is not None and (best is None or (len(found[0]), found[1]) <
                                  (len(best[1]), best[2])):
            best = (f, *found, flat, null)
    return best


def keyed_signals(found):
    """The signals that key on and off, strongest first (a steady carrier, as scan tells one,
    has no envelope to follow).

    Parameters
    ----------
    found : list of scan.Signal
        What scan found, strongest first.

    Returns
    -------
    list of scan.Signal
    """
    return [s for s in found if not s.steady]


def channel_width(signal, others, widest, samplerate):
    """The widest channel for `signal`, at most `widest`, that still rejects the others: each
    one's occupied band lies farther than one bandwidth from the centre, where the design
    promises rejection. Never narrower than DESIGN_WIDTHS occupied bandwidths, which holds the
    signal's keying edges too. A frequency-keyed signal's other tones are rejected as the other
    signals are: the envelope follows its strongest tone, keyed on and off.

    Parameters
    ----------
    signal : scan.Signal
        The signal to design for.
    others : list of scan.Signal
        The other signals found.
    widest : float
        design's default bandwidth at the signal's offset, hertz.
    samplerate : int
        The recording's samples per second.

    Returns
    -------
    (float, str)
        The bandwidth in hertz, None for design's own default (which narrows further where the
        centre allows less); and why, in words.
    """
    least = DESIGN_WIDTHS * signal.bandwidth_hz
    tones = signal.fsk.tones[1:] if signal.fsk is not None else []
    # How far from the centre each other signal's (and tone's) occupied band begins, the
    # nearest first.
    reaches = sorted((abs(fold(o.offset_hz - signal.offset_hz, samplerate)) - o.bandwidth_hz / 2,
                      o.offset_hz, kind)
                     for kind, group in (("signal", others), ("tone", tones)) for o in group)
    reach = reaches[0][0] if reaches else math.inf
    if reach > widest or widest <= 0:  # design says what it can do where nothing serves
        return None, "widest channel: nothing else within reach"
    room = math.floor(reach / 10) * 10
    room = room - 10 if room >= reach else room  # strictly farther than one bandwidth
    # Every tone and signal within reach of the widest channel, by offset.
    named = {"tone": ("its other tone at ", "its other tones at "),
             "signal": ("the signal at ", "the signals at ")}
    where = []
    for kind, (one, several) in named.items():
        near = [offset for r, offset, k in reaches if r <= widest and k == kind]
        if near:
            where.append((several if len(near) > 1 else one)
                         + ", ".join(signed_hz(offset) for offset in near))
    where = " and ".join(where)
    if room < least:
        return (least if least < widest else None,
                f"twice its occupied bandwidth; {where} within reach")
    return room, f"narrowed to {format_hz(room)} by {where}"
