"""The channel matched to the symbols: as narrow as the shortest element allows, so that it
keeps out every hertz of noise the signal does not need, within what one core can run.

A pulse of T seconds keeps most of its power within about 1 / T either side of its carrier: a
channel MATCH / T wide passes it (never narrower than the signal's occupied band, and as much
wider as its carrier wanders), and every hertz beyond is noise the envelope would carry. The
slicer's smoothing then matches the same elements (slicing.py). A narrow channel costs taps,
hundreds at 250 kS/s and thousands at 2.4 MS/s where the taps run at the input rate: where the
matched channel would take more than REAL_TIME of a core (iqenv's run, estimated from the
figures `make bench` measured), the narrowest that does not is taken instead.
"""
from dataclasses import dataclass

import numpy as np

from . import analysis, design
from .cost import cost
from .facts import output_rate
from .framing import frame

MATCH = 2.0  # the matched channel's width times the shortest element
REAL_TIME = 0.5  # the share of one core iqenv may take with the matched channel
WIDER = 1.25  # each try wider than the last, where the matched channel costs too much
LEAST_PULSES = 4  # bursts with fewer say nothing of their elements
SHORTEST_SHARE = 0.25  # the share of a blurred burst's widths no longer than its shortest element
# The verdicts of bursts whose widths are the signal's own, or near enough to match a channel
# to: noise's too, since a signal too weak for the first channel is noise there, and bursts of
# noise alone give short elements and a wide channel, which costs nothing.
SAYS_ELEMENTS = (analysis.DECODED, analysis.NO_CODING, analysis.TOO_WEAK, analysis.TOO_SHORT,
                 analysis.NOISE)
READ = (analysis.DECODED, analysis.NO_CODING)


@dataclass
class Match:
    """A channel matched to a signal's elements.

    element_s: the shortest element measured, seconds; bandwidth: hertz; design: the taps and
    mixer (design.Design); cpu: iqenv's estimated CPU time per second of input with it, seconds;
    why: how the width was chosen, in words.
    """
    element_s: float
    bandwidth: float
    design: design.Design
    cpu: float
    why: str


def shortest_element(bursts):
    """The shortest element a signal's bursts show, seconds: the median over its bursts of each
    one's shortest (burst_element); carriers, bursts of fewer than LEAST_PULSES pulses and
    elements shorter than the envelope resolves left out; None where none says.

    Parameters
    ----------
    bursts : iterable of pipeline.Decoded
        The signal's bursts, read through a first channel.

    Returns
    -------
    float or None
    """
    units = [burst_element(b.burst.pulses, b.analysis.verdict in READ) for b in bursts
             if len(b.burst.pulses) >= LEAST_PULSES and b.analysis.verdict in SAYS_ELEMENTS]
    shortest = analysis.SHORTEST_SAMPLES * 1e6 / output_rate()
    units = [u for u in units if u >= shortest]
    return float(np.median(units)) * 1e-6 if units else None


def burst_element(pulses, read=True):
    """One burst's shortest element, microseconds: its shortest width cluster's mean; for a
    burst not `read` (too weak for the first channel, whose noise may blur its short and long
    elements into one cluster), the SHORTEST_SHARE quantile of its widths where that is shorter
    (in PWM, PPM, PCM and Manchester alike at least a quarter of the widths are the shortest
    element, and the noise's glitches shorter still are fewer).

    Parameters
    ----------
    pulses : list of (pulse_us, gap_us)
    read : bool
        The burst's timings were read (a coding fits, or none does but it sliced clean).
    """
    unit = frame(pulses).unit_us
    if read:
        return unit
    widths = [w for pair in pulses for w in pair][:-1]  # the last gap is the quiet after
    return min(unit, float(np.quantile(widths, SHORTEST_SHARE)))


def width_for(element_s, occupied_hz=0.0, drift_hz=0.0):
    """The matched channel's width for elements of `element_s` seconds, in hertz: MATCH over
    the element, never narrower than the occupied band, and `drift_hz` wider for a carrier that
    wanders that much in all."""
    return max(MATCH / element_s, occupied_hz) + drift_hz


def match(center, element_s, samplerate, widest, occupied_hz=0.0, drift_hz=0.0,
          rejection=design.DEFAULT_REJECTION, mixer=None, gain=1.0, dc_notch=True):
    """The channel matched to elements of `element_s` seconds at `center` hertz, or the
    narrowest near it that keeps iqenv within REAL_TIME of a core.

    Parameters
    ----------
    center : float
        The signal's carrier, hertz from the tuned frequency.
    element_s : float
        The shortest element, seconds.
    samplerate : int
        Input samples per second.
    widest : float
        The widest channel to take, hertz (the one the signal had without matching).
    occupied_hz, drift_hz : float
        The signal's occupied band and its carrier's wander, hertz.
    rejection, mixer, gain, dc_notch
        As for design.design.

    Returns
    -------
    Match or None
        None where the matched channel would be no narrower than `widest`.

    Raises
    ------
    design.DesignError
        Where not even `widest` can be designed.
    """
    matched = width_for(element_s, occupied_hz, drift_hz)
    if matched >= widest:
        return None
    bandwidth, why = matched, (f"{MATCH:g} / element"
                               + (f", the occupied band {occupied_hz:.0f} Hz"
                                  if occupied_hz > MATCH / element_s else "")
                               + (f", {drift_hz:g} Hz for drift" if drift_hz else ""))
    while True:
        try:
            found = design.design(center, bandwidth, rejection, mixer, samplerate, None, gain,
                                  dc_notch, occupied_hz or None)
            cpu = cost(len(found.taps), samplerate).cpu
            if cpu <= REAL_TIME:
                return Match(element_s, bandwidth, found, cpu, why)
        except design.DesignError:
            pass
        if bandwidth >= widest:
            return None
        bandwidth = min(bandwidth * WIDER, widest)
        why = (f"{matched:.0f} Hz matched: the narrowest near it that designs and keeps iqenv "
               f"within {REAL_TIME:.0%} of a core")

