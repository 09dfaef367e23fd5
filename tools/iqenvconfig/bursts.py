"""Bursts in iqenv's envelope: stretches of activity above the floor, a block at a time.

The magnitudes are taken in whole blocks of levels.BLOCK, counted from the stream's first
value, so that every decision falls at the same place however the values arrive: the same
values give the same bursts from a file, from a pipe in pieces of any size, fast or slow.

A sample is active where the magnitude, smoothed over one of the detection spans, stands
DETECT_SIGMAS of that span's spread above the floor (levels.py). A burst begins at the first
active sample and ends once END_QUIET seconds pass with none; one that reaches MAX_BURST seconds
is cut there, and so is one the input ends inside.
"""
from collections import deque
from dataclasses import dataclass

import numpy as np

from .levels import (BLOCK, SPANS, Floor, FloorTracker, block_estimates, floor_of,
                     smoothed_rows)

END_QUIET = 0.1  # seconds without activity that end a burst
MAX_BURST = 10.0  # seconds: a burst this long is cut there
# Per span in SPANS after the first (the raw magnitude, which only measures): how far above the
# floor, in that span's spread, the smoothed magnitude must stand to be active.
DETECT_SIGMAS = (8.5, 7.0, 7.5)
# A burst's last END_QUIET seconds are steady at a level of their own where nothing stands this
# many of its spreads from it, up or down: far fewer than detection takes, since 100 ms of noise
# gives few chances to stand out where an hour gives many, and a weak transmission must not pass
# for a level.
STEADY_SIGMAS = 4.5
MARGIN = 48  # samples kept either side of a burst's activity, for the slicer's smoothing
LEAST_SPREAD = 1e-9  # input units: digital silence has none, but a step is still a step


@dataclass
class Stretch:
    """One burst's magnitudes, as the detector found it.

    start: stream index of magnitudes[0]; magnitudes: from before the first activity (a
    detection span and MARGIN) to MARGIN after the last, less where the stream begins or ends
    sooner; first, last: indices into magnitudes of the first and last active sample (the
    smoothing window's ends); quiet: samples of quiet after the last active sample that the
    burst's last gap may count (END_QUIET, less where the input ended); floor: the floor where
    it began; after: the mean magnitude over that quiet (None where there is none); cut: it
    did not end in END_QUIET of quiet (MAX_BURST ended it, or the input did).
    """
    start: int
    magnitudes: np.ndarray
    first: int
    last: int
    quiet: int
    floor: Floor
    after: float
    cut: bool


class BurstDetector:
    """Stretches of activity from magnitudes fed a chunk at a time.

    Parameters
    ----------
    rate : float
        Magnitudes per second (iqenv writes 24000).
    """

    def __init__(self, rate):
        self.rate = rate
        self.quiet = int(END_QUIET * rate)
        self.longest = int(MAX_BURST * rate)
        self.lead = max(SPANS) - 1
        self.before = self.lead + MARGIN
        self.tracker = FloorTracker()
        self.floor = None
        self.pending = np.zeros(0)  # magnitudes short of a whole block
        self.position = 0  # stream index of the next block's first magnitude
        self.tail = np.zeros(0)  # the magnitudes just before it, for the smoothing
        self.kept = deque()  # (stream index, magnitudes) that a burst may still need
        self.first = None  # stream index of the burst's first active sample, None when idle
        self.last = None
        self.floor_at_first = None
        # Inside a burst: the last blocks' own floors, and how many blocks in a row have been
        # steady at theirs.
        self.recent = deque(maxlen=int(round(END_QUIET * rate / BLOCK)))
        self.steady = 0

    def feed(self, magnitudes):
        """Takes the next magnitudes; returns the bursts that ended in them.

        Parameters
        ----------
        magnitudes : array of float
            In order, any number.

        Returns
        -------
        list of Stretch
        """
        x = np.concatenate((self.pending, magnitudes))
        whole = len(x) // BLOCK * BLOCK
        self.pending = x[whole:]
        out = []
        if whole and len(self.tail) < self.lead:  # the stream's first block: no context
            out += self._blocks(x[:BLOCK], BLOCK, final=False)
            x, whole = x[BLOCK:], whole - BLOCK
        if whole:
            out += self._blocks(x[:whole], BLOCK, final=False)
        return out

    def finish(self):
        """Ends the stream: the magnitudes short of a block are looked at, and a burst still
        open is cut at the stream's end.

        Returns
        -------
        list of Stretch
        """
        out = []
        if len(self.pending):
            out = self._blocks(self.pending, len(self.pending), final=True)
        self.pending = np.zeros(0)
        if self.first is not None:
            end = self.position
            quiet = min(self.quiet, end - 1 - self.last)
            out.append(self._emit(min(end, self.last + 1 + MARGIN), quiet, cut=True))
        return out

    def _blocks(self, x, size, final):
        """Looks at the blocks of `size` magnitudes in `x`, in order; a partial last block of
        the stream (`final`) measures the floor only where nothing did before."""
        start = self.position
        lead = len(self.tail)
        ext = np.concatenate((self.tail, x))
        count = len(x) // size
        rows = ext[np.arange(count)[:, None] * size + np.arange(lead + size)]
        smoothed = smoothed_rows(rows, lead)
        estimates = block_estimates(smoothed)
        self.tail = ext[-self.lead:]
        self.kept.append((start, x))
        self.position += len(x)
        out = []
        for r in range(count):
            if self.first is None and (not final or self.floor is None):
                self.floor = self.tracker.add(estimates[r])
            active = _active([y[r] for y in smoothed], self.floor, size)
            end = start + (r + 1) * size
            if self.first is not None and self._stepped(estimates[r], smoothed, r, size):
                # A level came and stays: the burst ends where it began to be steady, and
                # the floor is that level from here.
                level, recent = floor_of(self.recent), list(self.recent)
                self.last = min(self.last, end - self.quiet - 1)
                out.append(self._emit(end - self.quiet, 0, cut=False, after=level.noise))
                self.floor = level
                self.tracker.restart(recent)
                continue
            if active.any() or self.first is not None:
                out += self._follow(start + r * size + np.flatnonzero(active), end)
        self._forget()
        return out

    def _stepped(self, estimate, smoothed, r, size):
        """Whether, inside a burst, the last END_QUIET seconds have been steady at a level of
        their own above the floor: nothing in them stands out of it, up or down."""
        self.recent.append(estimate)
        if len(self.recent) < self.recent.maxlen:
            return False
        level = floor_of(self.recent)
        block = [y[r] for y in smoothed]
        # Steady: nothing above the level, and nothing back down at the floor below it either
        # (a weak transmission dense with pulses lifts the blocks' own floors, but its gaps go
        # back down).
        steady = not (_active(block, level, size, STEADY_SIGMAS).any()
                      or _active(block, level, size, -STEADY_SIGMAS).any())
        self.steady = self.steady + 1 if steady and level.noise > self.floor.noise else 0
        return self.steady >= self.recent.maxlen

    def _follow(self, active, end):
        """Runs the burst state over the active sample indices of a block ending at `end`."""
        out = []
        while True:
            if self.first is None:
                if not len(active):
                    return out
                # The window that first stood out began up to a span earlier.
                self.first = max(0, int(active[0]) - (max(SPANS) - 1))
                self.last = int(active[0])
                self.floor_at_first = self.floor
                active = active[1:]
                continue
            gaps = np.diff(np.concatenate(([self.last], active)))
            ended = np.flatnonzero(gaps > self.quiet)
            going = active[:ended[0]] if len(ended) else active
            over = np.flatnonzero(going >= self.first + self.longest)
            if len(over):
                # Too long: cut at the limit; what follows begins the next burst.
                if over[0]:
                    self.last = int(going[over[0] - 1])
                cut_at = self.first + self.longest
                out.append(self._emit(cut_at, min(self.quiet, cut_at - 1 - self.last), True))
                active = active[over[0]:]
                continue
            if len(going):
                self.last = int(going[-1])
            if len(ended):
                out.append(self._emit(self.last + 1 + MARGIN, self.quiet, False))
                active = active[ended[0]:]
                continue
            if end - 1 - self.last >= self.quiet:
                out.append(self._emit(self.last + 1 + MARGIN, self.quiet, False))
            return out

    def _emit(self, stop, quiet, cut, after=None):
        """The burst from self.first to self.last as a Stretch, its magnitudes up to `stop`;
        `after`, the level after it where the quiet after it does not give it."""
        begin = max(0, self.first - MARGIN)
        end = max(stop, self.last + 1 + quiet)
        pieces = [(at, x) for at, x in self.kept if at + len(x) > begin and at < end]
        base = pieces[0][0]
        x = np.concatenate([x for _, x in pieces])
        following = x[self.last + 1 - base: self.last + 1 + quiet - base]
        stretch = Stretch(start=begin, magnitudes=x[begin - base: stop - base],
                          first=self.first - begin, last=self.last - begin, quiet=int(quiet),
                          floor=self.floor_at_first,
                          after=float(following.mean()) if len(following) else after,
                          cut=cut)
        self.first = self.last = self.floor_at_first = None
        self.recent.clear()
        self.steady = 0
        return stretch

    def _forget(self):
        """Drops the kept blocks that no burst can reach back to any more."""
        keep_from = self.position - self.before if self.first is None else \
            self.first - MARGIN
        while self.kept and self.kept[0][0] + len(self.kept[0][1]) <= keep_from:
            self.kept.popleft()


def _active(smoothed, floor, size, sigmas=None):
    """Per sample of a block, whether some detection span stands clear of `floor` by `sigmas`
    of its spread (above it; below it where `sigmas` is negative).

    Parameters
    ----------
    smoothed : list of array
        Per span in SPANS, the block's smoothed magnitudes (fewer at the stream's start).
    floor : levels.Floor
    size : int
        The block's samples.
    sigmas : tuple or float or None
        Per detection span, or one for all; DETECT_SIGMAS by default.
    """
    sigmas = DETECT_SIGMAS if sigmas is None else sigmas
    active = np.zeros(size, dtype=bool)
    way = 1 if np.all(np.asarray(sigmas) > 0) else -1
    for i, k in enumerate(np.broadcast_to(sigmas, len(DETECT_SIGMAS)), start=1):
        y = smoothed[i]
        limit = floor.level[i] + k * max(floor.spread[i], LEAST_SPREAD)
        active[size - len(y):] |= way * y > way * limit
    return active
