"""A burst's timing structure: the widths that belong together, the rows it repeats, and the
marks that frame them (a sync pulse or gap at each row's start, a longer gap between rows).

Everything here is about widths alone; which coding the data elements follow is codings/'s.
"""
from collections import Counter
from dataclasses import dataclass

import numpy as np

CLUSTER_RATIO = 1.3  # neighbouring widths further apart than this start a new cluster
ROW_JUMP = 1.8  # a gap this far beyond every shorter gap cluster separates rows
RARE = 0.4  # clusters above a jump hold at most this share: sync marks and row gaps
MIN_ROW = 3  # pulses in a row that counts as a repeat


@dataclass
class Cluster:
    """Widths (us) that belong together: their mean, least, greatest and count."""
    mean: float
    low: float
    high: float
    count: int


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
    return [_cluster(p) for p in np.split(w, cuts)]


def fine_clusters(widths, others):
    """Clusters of `widths`, also split where sorted neighbours lie half the shortest element
    of all (these and `others`) apart: multiples of a unit (PCM's runs) grow closer in ratio
    as they grow."""
    w = np.sort(np.asarray(widths, dtype=float))
    if len(w) == 0:
        return []
    unit = clusters(np.concatenate((w, others)))[0].mean
    cuts = np.flatnonzero((w[1:] > CLUSTER_RATIO * w[:-1]) | (w[1:] - w[:-1] > unit / 2)) + 1
    return [_cluster(p) for p in np.split(w, cuts)]


def _cluster(w):
    return Cluster(float(w.mean()), float(w.min()), float(w.max()), len(w))


def merged(found):
    """One Cluster of several."""
    n = sum(c.count for c in found)
    return Cluster(sum(c.mean * c.count for c in found) / n, found[0].low, found[-1].high, n)


@dataclass
class Row:
    """One row's pulses and the gaps within it (us); the first pulse or gap may be a sync mark,
    and so may the last pulse (sync_end)."""
    pulses: np.ndarray
    gaps: np.ndarray
    sync_pulse: bool
    sync_gap: bool
    sync_end: bool = False

    @property
    def data_pulses(self):
        """The pulses but a sync pulse."""
        return self.pulses[int(self.sync_pulse):len(self.pulses) - int(self.sync_end)]

    @property
    def data_gaps(self):
        """The gaps after a sync gap."""
        return self.gaps[int(self.sync_gap):]

    def runs(self):
        """(level, width us) runs from the first pulse to the last."""
        out = []
        for i, x in enumerate(self.pulses):
            out.append((1, x))
            if i < len(self.gaps):
                out.append((0, self.gaps[i]))
        return out


@dataclass
class Framing:
    """A burst's structure.

    rows: its rows; pulse_clusters, gap_clusters: the data elements' widths (sync marks and row
    gaps left out); unit_us: the shortest element cluster's mean; row_split_us: gaps longer
    than this end a row (inf: one row); row_gaps: the gaps between rows; sync_pulse, sync_gap:
    the marks at each row's start, or None.
    """
    rows: list
    pulse_clusters: list
    gap_clusters: list
    unit_us: float
    row_split_us: float
    row_gaps: list
    sync_pulse: Cluster = None
    sync_gap: Cluster = None

    @property
    def data_pulses(self):
        return np.concatenate([r.data_pulses for r in self.rows])

    @property
    def data_gaps(self):
        return np.concatenate([r.data_gaps for r in self.rows])

    @property
    def elements(self):
        """Each row's (level, width) runs."""
        return [r.runs() for r in self.rows]


def _jumps(found, total):
    """Indices of the clusters above a jump of ROW_JUMP that, with those above them, hold at
    most RARE of `total`: where sync marks and row gaps may begin."""
    return [i for i in range(1, len(found)) if found[i].low > ROW_JUMP * found[i - 1].high
            and sum(c.count for c in found[i:]) <= RARE * total]


def _row_split(p, g, found):
    """The gap cluster index where rows split: the highest jump that leaves rows that repeat,
    two or more of one length at least MIN_ROW long and at least two thirds of the rows but
    the first and last (which the burst's ends may cut); None for one row. (A data gap twice
    another, PWM's or PPM's, cuts rows of all lengths, not repeats.)"""
    for i in reversed(_jumps(found, len(g))):
        limit = np.sqrt(found[i - 1].high * found[i].low)
        lengths = np.diff(np.concatenate(([-1], np.flatnonzero(g > limit), [len(p) - 1])))
        inner = lengths[1:-1] if len(lengths) > 3 else lengths
        length, count = Counter(inner).most_common(1)[0]
        if length >= MIN_ROW and count >= 2 and count >= 2 / 3 * len(inner):
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


def _sync_pulses(p, firsts, lasts):
    """Where rare long pulses mark the rows: (limit, at) with `at` "start" or "end" of each row,
    or "split" where they mark rows that no gap parts (evenly spaced, each starting one); or
    (inf, None)."""
    for i in _jumps(clusters(p), len(p)):
        found = clusters(p)
        limit = np.sqrt(found[i - 1].high * found[i].low)
        marks = np.flatnonzero(p > limit)
        if np.array_equal(marks, firsts):
            return limit, "start"
        if len(lasts) > 1 and (np.array_equal(marks, lasts) or np.array_equal(marks, lasts[:-1])):
            return limit, "end"
        steps = np.diff(marks)
        if len(firsts) == 1 and len(marks) >= 2 and np.all(steps == steps[0]) \
                and steps[0] >= MIN_ROW:
            return limit, "split"
    return np.inf, None


def frame(pulses):
    """The structure of one burst.

    Parameters
    ----------
    pulses : list of (float, float)
        (pulse us, gap us) pairs; the last gap is the silence after the burst.

    Returns
    -------
    Framing
    """
    p = np.array([x for x, _ in pulses], dtype=float)
    g = np.array([y for _, y in pulses[:-1]], dtype=float)
    gap_found = clusters(g)
    split = _row_split(p, g, gap_found) if len(g) else None
    row_split = np.sqrt(gap_found[split - 1].high * gap_found[split].low) if split else np.inf
    ends = np.flatnonzero(g > row_split)
    firsts = np.concatenate(([0], ends + 1))
    sync_p, at = _sync_pulses(p, firsts, np.append(ends, len(p) - 1))
    if at == "split":  # rows that only their sync pulses part
        firsts = np.flatnonzero(p > sync_p)
        firsts = firsts if firsts[0] == 0 else np.concatenate(([0], firsts))
        at = "start"
    inner = np.ones(len(g), dtype=bool)
    inner[ends] = False
    sync_g = _once_per_row(np.where(inner, g, 0.0), firsts[firsts < len(g)], clusters(g[inner]))
    bounds = np.concatenate((firsts, [len(p)]))
    rows = [Row(p[a:b], g[a:b - 1], bool(at == "start" and p[a] > sync_p),
                bool(b - a > 1 and g[a] > sync_g), bool(at == "end" and p[b - 1] > sync_p))
            for a, b in zip(bounds[:-1], bounds[1:])]
    data_p = np.concatenate([r.data_pulses for r in rows])
    data_g = np.concatenate([r.data_gaps for r in rows])
    widths = np.concatenate([np.concatenate((r.pulses, r.gaps)) for r in rows])
    out = Framing(rows=rows, pulse_clusters=fine_clusters(data_p, data_g),
                  gap_clusters=fine_clusters(data_g, data_p), unit_us=clusters(widths)[0].mean,
                  row_split_us=float(row_split), row_gaps=clusters(g[ends]))
    if np.isfinite(sync_p):
        out.sync_pulse = merged(clusters(p[p > sync_p]))
    if np.isfinite(sync_g):
        out.sync_gap = merged(clusters(g[inner & (g > sync_g)]))
    return out
