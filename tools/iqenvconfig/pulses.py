"""iqenv's output read as bursts of pulses, a chunk at a time, live.

The magnitudes come back exactly from iqenv's values (envelope.py); the burst detector finds
stretches of activity above the floor it tracks (bursts.py, levels.py); each stretch is sliced
into pulses and gaps (slicing.py). What each burst is comes last: pulses to analyse, a carrier
that came into the channel, or noise that cannot be told from one.
"""
from dataclasses import dataclass

import numpy as np

from . import facts
from .bursts import DETECT_SIGMAS, BurstDetector
from .envelope import EnvelopeRecovery
from .slicing import slice_stretch, snr_db

MIN_PULSES = 2


@dataclass
class Burst:
    """One burst.

    start: seconds from the stream's start to its first edge (to its first activity where it
    has no pulses); pulses: (pulse us, gap us) pairs, the last gap the quiet seen after the last
    pulse (END_QUIET, less where the input ended); snr_db: pulse power over noise power in
    iqenv's channel; span: the smoothing, samples; glitches: elements and lone samples dropped as
    too short; cut: the burst did not end in END_QUIET of quiet (it reached MAX_BURST, or the
    input ended inside it: its end is not known); carrier: the floor rose during it and stayed
    up (a steady carrier came into the channel, or the noise rose), by this many dB, else 0;
    separation: how many of their own spreads the pulse level and the level between pulses
    stand apart at the smoothing; resolved: whether the smoothing kept its shortest elements.
    """
    start: float
    pulses: list
    snr_db: float
    span: int
    glitches: int = 0
    cut: bool = False
    carrier: float = 0.0
    separation: float = 0.0
    resolved: bool = True


class BurstReader:
    """Bursts of pulses from iqenv's output values, fed a chunk at a time.

    The same values give the same bursts however they are cut into chunks.

    Parameters
    ----------
    rate : float, optional
        Values per second (default: iqenv's output rate).
    """

    def __init__(self, rate=None):
        self.rate = facts.output_rate() if rate is None else rate
        self.recovery = EnvelopeRecovery()
        self.detector = BurstDetector(self.rate)
        self.glitches = 0
        self.dropped = 0  # stretches of activity with too few pulses to report

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
        stretches = self.detector.feed(self.recovery.magnitudes(values))
        return [b for b in map(self._burst, stretches) if b is not None]

    def finish(self):
        """Ends the stream: the burst in progress, if any, is reported, cut.

        Returns
        -------
        list of Burst
        """
        return [b for b in map(self._burst, self.detector.finish()) if b is not None]

    def _burst(self, stretch):
        floor = stretch.floor
        rise = _rise_db(floor, stretch.after)
        x = stretch.magnitudes
        sliced = slice_stretch(x, stretch.last - stretch.first, floor.noise, floor.raw_spread,
                               stretch.cut)
        if sliced is None and not rise:
            self.dropped += 1
            return None
        self.glitches += sliced.glitches if sliced else 0
        if sliced is None:
            return Burst((stretch.start + stretch.first) / self.rate, [], 0.0, 1, 0,
                         stretch.cut, rise)
        edges = sliced.edges
        t = edges / self.rate * 1e6  # us from the stretch's start
        rises, falls = t[0::2], t[1::2]
        last_gap = (stretch.last + 1 + stretch.quiet - edges[-1]) / self.rate * 1e6
        gaps = np.append(rises[1:] - falls[:-1], last_gap)
        return Burst(start=(stretch.start + edges[0]) / self.rate,
                     pulses=[(float(p), float(g)) for p, g in zip(falls - rises, gaps)],
                     snr_db=sliced.snr_db(), span=sliced.span, glitches=sliced.glitches,
                     cut=stretch.cut, carrier=rise, separation=sliced.separation,
                     resolved=sliced.resolved)


def _rise_db(floor, after):
    """Where the mean magnitude in the quiet after a burst stands above the floor before it by
    as much as would make it active, the power of what came (a carrier, or more noise) over the
    noise before, dB; else 0."""
    if after is None or after - floor.noise <= DETECT_SIGMAS[-1] * max(floor.spread[-1],
                                                                       1e-12):
        return 0.0
    return max(snr_db(after, floor.noise, floor.raw_spread), 1e-3)
