"""What a burst of pulses says: width clusters, the coding named with a confidence, bit rows,
their consensus and the rtl_433 flex decoder that reads the same bits.

Bit conventions are rtl_433's, so that its flex decoders and this analysis agree: PWM a short
pulse is 1; PPM a short gap is 0; Manchester a falling edge mid-bit is 1, and a row starts with
the 0 bit whose silent first half cannot be seen (rtl_433's OOK_MC_ZEROBIT, leading 0
included); differential Manchester a whole-bit element is 0 and two half-bit elements 1; PIWM
each pulse and gap is a bit, short 1 and long 0 (OOK_PIWM_DC); PCM (NRZ) one bit per unit.

Manchester with its leading zero bit and differential Manchester give the same timings, but for
one thing: a differential Manchester row lasts a whole number of bits, while a Manchester row
that ends on a 0 lasts an odd number of half bits. Where every row is whole, only the device's
documentation tells them apart; both are ranked, Manchester first, as the commoner.
"""
from collections import Counter
from dataclasses import dataclass, field

import numpy as np

from .resampler import OUTPUT_RATE

CLUSTER_RATIO = 1.3  # neighbouring widths further apart than this start a new cluster
ROW_JUMP = 1.8  # a gap this far beyond every shorter gap cluster separates rows
RARE = 0.4  # clusters above a jump hold at most this share: sync marks and row gaps
TOLERANCE = 0.3  # an element fits a nominal width within this share of it
UNIT_TOLERANCE = 0.3  # ... and a multiple of the unit within this share of the unit
SHORTEST_US = 3 * 1e6 / OUTPUT_RATE  # 125 us: three output samples
PREAMBLE_BITS = 8
# Rank among codings that fit equally well: the more specific first.
SPECIFIC = {"PPM": 1.0, "PWM": 1.0, "Manchester": 0.99, "differential Manchester": 0.97,
            "PIWM": 0.96, "PCM": 0.95}
FLEX = {"PPM": "OOK_PPM", "PWM": "OOK_PWM", "Manchester": "OOK_MC_ZEROBIT",
        "differential Manchester": "OOK_DMC", "PIWM": "OOK_PIWM_DC", "PCM": "OOK_PCM"}


@dataclass
class Cluster:
    """Widths (us) that belong together."""
    mean: float
    low: float
    high: float
    count: int


@dataclass
class Candidate:
    """A coding that may be meant: how well it fits (0-1), its bit rows and flex decoder."""
    name: str
    variant: str
    confidence: float
    rows: list
    flex: str
    bit_us: float


@dataclass
class Analysis:
    pulse_clusters: list
    gap_clusters: list
    unit_us: float
    too_short: bool
    rows_split_us: float  # gaps longer than this end a row (inf: one row)
    row_gaps: list
    sync_pulse: Cluster = None
    sync_gap: Cluster = None
    candidates: list = field(default_factory=list)
    consensus: str = ""
    disagree: list = field(default_factory=list)
    preamble: str = ""

    @property
    def best(self):
        return self.candidates[0] if self.candidates else None


def clusters(widths, ratio=CLUSTER_RATIO):
    """Widths grouped where sorted neighbours lie within `ratio` of each other.

    Parameters
    ----------
    widths : sequence of float
        Widths, us.
    ratio : float
        Largest ratio between neighbours in one cluster.

    Returns
    -------
    list of Cluster
        Ascending by width.
    """
    w = np.sort(np.asarray(widths, dtype=float))
    if len(w) == 0:
        return []
    cuts = np.flatnonzero(w[1:] > ratio * w[:-1]) + 1
    return [Cluster(float(p.mean()), float(p.min()), float(p.max()), len(p))
            for p in np.split(w, cuts)]


def _jumps(found, total):
    """Indices of the clusters above a jump of ROW_JUMP that, with those above them, hold at
    most RARE of `total`: where sync marks and row gaps may begin."""
    return [i for i in range(1, len(found)) if found[i].low > ROW_JUMP * found[i - 1].high
            and sum(c.count for c in found[i:]) <= RARE * total]


def _row_split(p, g, found):
    """The gap cluster index where rows split: the highest jump that leaves two rows or more of
    one length, as repeats are; None for one row."""
    for i in reversed(_jumps(found, len(g))):
        limit = np.sqrt(found[i - 1].high * found[i].low)
        lengths = np.diff(np.concatenate(([-1], np.flatnonzero(g > limit), [len(p) - 1])))
        lengths = lengths[lengths >= 3]
        if len(lengths) >= 2 and Counter(lengths).most_common(1)[0][1] >= len(lengths) / 2:
            return i
    return None


def _once_per_row(widths, firsts, found):
    """The limit above which the widths are one per row, each at its row's start (a sync
    mark), or inf."""
    for i in _jumps(found, len(widths)):
        limit = np.sqrt(found[i - 1].high * found[i].low)
        if np.array_equal(np.flatnonzero(widths > limit), firsts):
            return limit
    return np.inf


@dataclass
class Row:
    """One row's pulses and the gaps within it (us); the first pulse or gap may be a sync mark."""
    pulses: np.ndarray
    gaps: np.ndarray
    sync_pulse: bool
    sync_gap: bool

    def runs(self):
        """(level, width us) runs from the first pulse to the last."""
        out = []
        for i, x in enumerate(self.pulses):
            out.append((1, x))
            if i < len(self.gaps):
                out.append((0, self.gaps[i]))
        return out


def analyse(pulses):
    """The clusters, codings, rows and consensus of one burst.

    Parameters
    ----------
    pulses : list of (float, float)
        (pulse us, gap us) pairs; the last gap is the silence after the burst.

    Returns
    -------
    Analysis
    """
    p = np.array([x for x, _ in pulses], dtype=float)
    g = np.array([y for _, y in pulses[:-1]], dtype=float)
    gap_found = clusters(g)
    split = _row_split(p, g, gap_found) if len(g) else None
    row_split = np.sqrt(gap_found[split - 1].high * gap_found[split].low) if split else np.inf
    ends = np.flatnonzero(g > row_split)
    firsts = np.concatenate(([0], ends + 1))
    sync_p = _once_per_row(p, firsts, clusters(p))
    inner = np.ones(len(g), dtype=bool)
    inner[ends] = False
    sync_g = _once_per_row(np.where(inner, g, 0.0), firsts[firsts < len(g)], clusters(g[inner]))
    bounds = np.concatenate((firsts, [len(p)]))
    rows = [Row(p[a:b], g[a:b - 1], bool(p[a] > sync_p), bool(b - a > 1 and g[a] > sync_g))
            for a, b in zip(bounds[:-1], bounds[1:])]
    data_p = np.concatenate([r.pulses[int(r.sync_pulse):] for r in rows])
    data_g = np.concatenate([r.gaps[int(r.sync_gap):] for r in rows])
    analysis = Analysis(pulse_clusters=_fine(data_p, data_g), gap_clusters=_fine(data_g, data_p),
                        unit_us=0.0, too_short=False, rows_split_us=float(row_split),
                        row_gaps=clusters(g[ends]))
    if np.isfinite(sync_p):
        analysis.sync_pulse = _merge(clusters(p[p > sync_p]))
    if np.isfinite(sync_g):
        analysis.sync_gap = _merge(clusters(g[inner & (g > sync_g)]))
    widths = np.concatenate([np.concatenate((r.pulses, r.gaps)) for r in rows])
    analysis.unit_us = clusters(widths)[0].mean
    analysis.too_short = analysis.unit_us < SHORTEST_US
    if not analysis.too_short:
        analysis.candidates = _candidates(rows, analysis, data_p, data_g)
        analysis.consensus, analysis.disagree = consensus(analysis.best.rows)
        analysis.preamble = preamble(analysis.consensus)
    return analysis


def _fine(widths, others):
    """Clusters of `widths`, also split where sorted neighbours lie half the shortest element
    of all apart: multiples of a unit (PCM's runs) grow closer in ratio as they grow."""
    unit = clusters(np.concatenate((widths, others)))[0].mean if len(widths) else 0.0
    w = np.sort(widths)
    if len(w) == 0:
        return []
    cuts = np.flatnonzero((w[1:] > CLUSTER_RATIO * w[:-1]) | (w[1:] - w[:-1] > unit / 2)) + 1
    return [Cluster(float(p.mean()), float(p.min()), float(p.max()), len(p))
            for p in np.split(w, cuts)]


def _merge(found):
    n = sum(c.count for c in found)
    return Cluster(sum(c.mean * c.count for c in found) / n, found[0].low, found[-1].high, n)


def _near(w, nominal, tolerance=TOLERANCE):
    return abs(w - nominal) <= tolerance * nominal


def _two(found):
    """(short, long) means of the two biggest clusters, or None."""
    if len(found) < 2:
        return None
    top = sorted(sorted(found, key=lambda c: -c.count)[:2], key=lambda c: c.mean)
    return top[0].mean, top[1].mean


def _main(found):
    """Mean of the cluster with the most members (None for none)."""
    return max(found, key=lambda c: c.count).mean if found else None


def _candidates(rows, a, pulses, gaps):
    """Every coding that may be meant, best first, with its fit, bits and flex decoder."""
    out = []
    unit = a.unit_us
    flex = _Flex(rows, a)
    pw = _two(a.pulse_clusters)
    if pw and pw[1] > 1.4 * pw[0]:
        s, l_ = pw
        fit = np.mean([_near(x, s) or _near(x, l_) for x in pulses])
        periods = np.concatenate([r.pulses[int(r.sync_pulse):len(r.gaps)] +
                                  r.gaps[int(r.sync_pulse):] for r in rows])
        if len(a.gap_clusters) <= 1 or np.mean([_near(y, _main(a.gap_clusters), 0.35)
                                                for y in gaps]) > 0.95:
            variant = "fixed gap"
        elif len(periods) and periods.std() < 0.1 * periods.mean():
            variant = "fixed period"
        else:
            variant, fit = "varying gap", fit * 0.5
        bits = [[int(abs(x - s) < abs(x - l_)) for x in r.pulses[int(r.sync_pulse):]]
                for r in rows]
        extra = f",y={round(a.sync_pulse.mean)}" if a.sync_pulse else ""
        out.append(Candidate("PWM", variant, fit, bits, flex("PWM", s, l_, 0.45 * (l_ - s),
                                                           extra),
                             float(np.median(periods)) if len(periods) else s + l_))
    gw = _two(a.gap_clusters)
    if gw and gw[1] > 1.4 * gw[0] and len(a.pulse_clusters):
        s, l_ = gw
        one = _main(a.pulse_clusters)
        fit = min(np.mean([_near(x, one) for x in pulses]),
                  np.mean([_near(y, s) or _near(y, l_) for y in gaps]))
        bits = [[int(abs(y - l_) < abs(y - s)) for y in r.gaps[int(r.sync_gap):]] for r in rows]
        out.append(Candidate("PPM", "", fit, bits, flex("PPM", s, l_, 0.45 * (l_ - s)),
                             one + (s + l_) / 2))
    elements = [r.runs() for r in rows]
    flat = np.array([w for row in elements for _, w in row])
    k = flat / unit
    near_k = np.abs(k - np.round(k)) <= UNIT_TOLERANCE
    out.append(Candidate("PCM", "NRZ", float(np.mean(near_k)), _pcm_bits(rows, unit),
                         flex("PCM", unit, unit), unit))
    halves = np.round(k)
    if np.all(halves[near_k] <= 2) and (halves == 2).any():
        starts = _long_starts(elements, unit)
        fit = float(np.mean(near_k)) * float(np.mean(starts % 2 == 0))
        out.append(Candidate("Manchester", "leading zero bit", fit,
                             _manchester_bits(elements, unit), flex("Manchester", unit, unit),
                             2 * unit))
        # Differential Manchester ends each row on a bit boundary: a whole number of bits.
        halves_per_row = [sum(max(1, int(round(w / unit))) for _, w in row) for row in elements]
        whole_bits = np.mean([n % 2 == 0 for n in halves_per_row])
        out.append(Candidate("differential Manchester", "", fit * whole_bits,
                             _dmc_bits(elements, unit),
                             flex("differential Manchester", unit, 2 * unit, 0.45 * unit),
                             2 * unit))
    both = _two(clusters(flat))
    if both and both[1] > 1.4 * both[0]:
        s, l_ = both
        fit = np.mean([_near(w, s) or _near(w, l_) for w in flat])
        if len(a.pulse_clusters) < 2 or len(a.gap_clusters) < 2:
            fit *= 0.5  # pulses or gaps of one width carry no bits of their own
        bits = [[int(abs(w - s) < abs(w - l_)) for _, w in row] for row in elements]
        out.append(Candidate("PIWM", "", fit, bits, flex("PIWM", s, l_, 0.45 * (l_ - s)),
                             float(np.mean(flat))))
    for c in out:
        c.confidence = float(c.confidence) * SPECIFIC[c.name]
    return sorted(out, key=lambda c: -c.confidence)


def _pcm_bits(rows, unit):
    """rtl_433's NRZ reading: a pulse of n units is n ones, and its period (with the gap) of
    m units adds m - n zeros; a row's ending gap adds none."""
    out = []
    for r in rows:
        bits = []
        for i, x in enumerate(r.pulses):
            ones = int(round(x / unit))
            bits += [1] * ones
            if i < len(r.gaps):
                bits += [0] * max(0, int(round((x + r.gaps[i]) / unit)) - ones)
        out.append(bits)
    return out


def _long_starts(elements, unit):
    """Half-unit positions, from each row's first edge, where two-unit elements start."""
    starts = []
    for row in elements:
        at = 0
        for _, w in row:
            n = max(1, int(round(w / unit)))
            if n == 2:
                starts.append(at)
            at += n
    return np.array(starts)


def _manchester_bits(elements, unit):
    """rtl_433's OOK_MC_ZEROBIT reading: a leading 0, then a bit at each edge more than 1.5
    units after the last edge that made one (falling 1, rising 0)."""
    out = []
    for row in elements:
        bits, since = [0], 0.0
        for i, (level, w) in enumerate(row):
            if w + since > 1.5 * unit:
                if i + 1 < len(row) or level == 1:
                    bits.append(level)  # the edge ending an on run falls: 1
                since = 0.0
            else:
                since += w
        out.append(bits)
    return out


def _dmc_bits(elements, unit):
    """A whole-bit element is 0, two half-bit elements 1."""
    out = []
    for row in elements:
        bits, half = [], False
        for _, w in row:
            if round(w / unit) >= 2:
                bits.append(0)
                half = False
            elif half:
                bits.append(1)
                half = False
            else:
                half = True
        out.append(bits)
    return out


class _Flex:
    """rtl_433's -X spec for a coding of these rows: a row ends beyond the longest gap within
    one, and the message after the last row."""

    def __init__(self, rows, a):
        inner = np.concatenate([np.concatenate((r.pulses, r.gaps)) for r in rows])
        longest = float(inner.max())
        self.gap = a.rows_split_us if np.isfinite(a.rows_split_us) else 1.5 * longest
        self.reset = max([1.5 * self.gap] + [1.2 * c.high for c in a.row_gaps])

    def __call__(self, name, short, long_, tolerance=None, extra=""):
        # Decoders without a row gap of their own end each row as a message.
        reset = self.gap if name in ("Manchester", "PCM", "differential Manchester",
                                     "PIWM") else self.reset
        spec = f"n=iqenv,m={FLEX[name]},s={round(short)},l={round(long_)}{extra},r={round(reset)}"
        if name in ("PWM", "PPM", "PCM"):
            spec += f",g={round(self.gap)}"
        if tolerance:
            spec += f",t={round(tolerance)}"
        return spec


def consensus(rows):
    """Bit by bit majority of the rows of the commonest length.

    Parameters
    ----------
    rows : list of list of int

    Returns
    -------
    (str, list of int)
        The consensus ("?" where the vote ties) and the positions where rows disagree.
    """
    rows = [r for r in rows if r]
    if not rows:
        return "", []
    length = Counter(len(r) for r in rows).most_common(1)[0][0]
    same = np.array([r for r in rows if len(r) == length])
    ones = same.sum(axis=0)
    text = "".join("1" if 2 * o > len(same) else "0" if 2 * o < len(same) else "?"
                   for o in ones)
    disagree = [int(i) for i in np.flatnonzero((ones > 0) & (ones < len(same)))]
    return text, disagree


def preamble(bits):
    """The leading run of alternating bits, if PREAMBLE_BITS or longer ("" otherwise)."""
    n = 1
    while n < len(bits) and bits[n] != bits[n - 1] and bits[n] in "01":
        n += 1
    return bits[:n] if n >= PREAMBLE_BITS else ""
