"""The floor under iqenv's envelope: the level and spread of what is there when no transmitter
keys, tracked block by block, up and down alike.

The floor is whatever stays: receiver noise, and a steady carrier in the channel with it. Each
block of BLOCK magnitudes, smoothed over each span, gives its own estimate from its lower tail
alone (its percentiles read as a normal distribution's; block_estimates): a block that holds
pulses has its gaps there, so keyed blocks measure the floor as well as quiet ones, and a
recording that is busy from its first sample still has one. The floor is the median of the last
HISTORY blocks' estimates, the current one included, while no burst is on: a step down of the
receiver's gain or noise is followed within half of HISTORY blocks. The burst detector
(bursts.py) keeps the floor still while a burst is on, so that a weak transmission dense with
pulses does not lift it, and moves it at once to a level that has come and stays, steady, with
nothing keyed on it: a step up of gain or noise, or a carrier that came.

Blocks are worked on many at a time, as rows; each row's arithmetic is the same as it would be
alone (sorting and running sums along the row), so the floor does not depend on how many come
together.
"""
from collections import deque
from dataclasses import dataclass

import numpy as np

BLOCK = 240  # magnitudes a block (10 ms at 24000/s)
SPANS = (1, 3, 8, 24)  # smoothing spans (samples): the raw magnitude, then the detector's
LEVEL_SPAN = 1  # the index in SPANS of the span whose lower tail gives the level
HISTORY = 20  # blocks the floor is the median of (200 ms)
LOW, MIDDLE = 0.10, 0.25  # quantiles of a block's smoothed magnitudes that measure the floor
NORMAL_LOW, NORMAL_MIDDLE = -1.2816, -0.6745  # the same quantiles of a standard normal


@dataclass(frozen=True)
class Floor:
    """The floor at one time: per span in SPANS, the mean and the standard deviation of the
    magnitude smoothed over that span (input units, offset as EnvelopeRecovery's)."""
    level: tuple
    spread: tuple

    @property
    def noise(self):
        """The floor's mean magnitude (the longest span's estimate: the steadiest)."""
        return self.level[-1]

    @property
    def raw_spread(self):
        """The standard deviation of the magnitude itself, unsmoothed."""
        return self.spread[0]


def smoothed_rows(rows, lead):
    """Per span in SPANS, each row smoothed over the windows that end at its own samples.

    Parameters
    ----------
    rows : 2-D array of float
        One block a row, each preceded by the `lead` magnitudes before it.
    lead : int
        Magnitudes of context at the start of each row (max(SPANS) - 1, fewer only at the
        stream's start).

    Returns
    -------
    list of 2-D array
        Per span, one row per block, with a value for each of the block's samples whose
        window lies wholly inside the row.
    """
    n = rows.shape[1] - lead
    c = np.concatenate((np.zeros((len(rows), 1)), np.cumsum(rows, axis=1)), axis=1)
    out = []
    for s in SPANS:
        y = (c[:, s:] - c[:, :-s]) / s
        out.append(y[:, -min(n, y.shape[1]):])
    return out


def _quantile(sorted_rows, q):
    """The q-quantile of each sorted row, interpolated between order statistics."""
    at = q * (sorted_rows.shape[1] - 1)
    i = int(at)
    j = min(i + 1, sorted_rows.shape[1] - 1)
    return sorted_rows[:, i] + (sorted_rows[:, j] - sorted_rows[:, i]) * (at - i)


def block_estimates(smoothed):
    """The floor each block gives on its own, from its lower tail.

    Each span's level and spread come from its own lower tail, but no span's level lies more
    than its spread above the level of the shortest smoothing (LEVEL_SPAN), which keeps a keyed
    block's gaps apart from its pulses however short they are (smoothing keeps the mean). In a
    block busy with short elements the longer spans never reach the gaps' level: without that
    bound their floor would rise inside a long dense burst and cut it short.

    Parameters
    ----------
    smoothed : list of 2-D array
        As smoothed_rows gives them.

    Returns
    -------
    array, shape (blocks, 2, len(SPANS))
        Per block: the levels, then the spreads.
    """
    out = np.empty((len(smoothed[0]), 2, len(smoothed)))
    for i, y in enumerate(smoothed):
        ordered = np.sort(y, axis=1)
        low, middle = _quantile(ordered, LOW), _quantile(ordered, MIDDLE)
        spread = (middle - low) / (NORMAL_MIDDLE - NORMAL_LOW)
        out[:, 0, i] = middle - NORMAL_MIDDLE * spread
        out[:, 1, i] = spread
    out[:, 0, :] = np.minimum(out[:, 0, :], out[:, 0, LEVEL_SPAN, None] + out[:, 1, :])
    return out


class FloorTracker:
    """The floor after each block: the median of the last HISTORY blocks' estimates."""

    def __init__(self):
        self.history = deque(maxlen=HISTORY)

    def add(self, estimate):
        """Takes one block's estimate (a row of block_estimates); returns the floor now.

        Returns
        -------
        Floor
        """
        self.history.append(estimate)
        return floor_of(self.history)

    def restart(self, estimates):
        """Forgets the blocks before; the floor is these blocks' from now on."""
        self.history.clear()
        self.history.extend(estimates)


def floor_of(estimates):
    """The Floor that blocks' estimates give together: their median.

    Parameters
    ----------
    estimates : sequence of array, shape (2, len(SPANS))

    Returns
    -------
    Floor
    """
    level, spread = _median(np.array(estimates)[None])[0]
    return Floor(tuple(level), tuple(spread))


def _median(windows):
    """The median over axis 1 of each window, by sorting (the same arithmetic for every
    window however many come together)."""
    ordered = np.sort(windows, axis=1)
    n = ordered.shape[1]
    if n % 2:
        return ordered[:, n // 2]
    return (ordered[:, n // 2 - 1] + ordered[:, n // 2]) / 2
