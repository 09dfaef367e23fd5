"""From a recording to bits, a step a function: open the recording, find its signals, choose
the ones to decode, design iqenv's channel for each, run iqenv on the recording, and read the
bursts in iqenv's output; where the symbols were not known, designed again matched to them.
Each step works alone as well (iqenv's output from a receiver, live,
goes straight to read_bursts).

Example
-------
>>> from iqenvconfig import pipeline
>>> recording = pipeline.open_recording("g001_433.92M_250k.cu8")
>>> found = pipeline.find_signals(recording)
>>> for choice in pipeline.choose(found, recording.samplerate):
...     channel = pipeline.design_channel(choice, recording.samplerate)
...     matched = pipeline.match_channel(recording, choice, channel)
...     channel = matched.design if matched else channel
...     for burst in pipeline.read_bursts(pipeline.run_iqenv(recording, channel)):
...         if burst.analysis.best:
...             print(burst.burst.start, burst.analysis.best.name, burst.analysis.consensus)
"""
import os
import tempfile
from dataclasses import dataclass

import numpy as np

from . import (analysis, configfile, design, facts, matching, pulses, pulsestream, reader, scan,
               sigmf)
from .recording import RecordingError

open_recording = reader.open_recording
REFINE_PASSES = 2  # passes at most after the first that measure the elements again
find_signals = scan.scan


@dataclass
class Choice:
    """A signal chosen to decode, and the channel's width for it.

    signal: as scan found it; number: its place in scan's list (from 1); keyed: whether it keys
    on and off (a steady carrier is chosen only where nothing keys); bandwidth: hertz (None:
    design's own default, `widest`); why: the bandwidth's reason, in words; widest: design's
    default bandwidth at its offset, hertz (0 where nothing serves).
    """
    signal: scan.Signal
    number: int
    keyed: bool
    bandwidth: float
    why: str
    widest: float = 0.0

    @property
    def label(self):
        """The signal's offset as reports label its bursts ("+40.0 kHz")."""
        return f"{self.signal.offset_hz / 1e3:+.1f} kHz"


@dataclass
class Decoded:
    """One burst read from iqenv's output and what it is (analysis.Analysis)."""
    burst: pulses.Burst
    analysis: analysis.Analysis


def choice_at(center, bandwidth=None):
    """The signal at `center` hertz from the tuned frequency, as the user gives it (no scan):
    a Choice of a signal that keys, of `bandwidth` hertz (None: the default)."""
    return Choice(scan.Signal(0, 0, np.zeros(0), offset_hz=center), 0, True, bandwidth,
                  "as given")


def choose(found, samplerate, bandwidth=None, rejection=design.DEFAULT_REJECTION, mixer=None,
           every=False):
    """The signals to decode and their channels' widths.

    Parameters
    ----------
    found : list of scan.Signal
        What find_signals found, strongest first.
    samplerate : int
        The recording's samples per second.
    bandwidth : float or None
        The channel's width in hertz for every signal; None to choose it: the widest that
        still rejects the other signals found, never narrower than twice the signal's
        occupied band.
    rejection : float
        dB, as for design.design.
    mixer : float or None
        The mixer frequency in hertz where one is given.
    every : bool
        Every keyed signal (strongest first), rather than the strongest keyed one (or the
        strongest of all where none keys).

    Returns
    -------
    list of Choice
        Empty where nothing was found, or where `every` asks for keyed signals and none keys.
    """
    if not found:
        return []
    keyed = design.keyed_signals(found)
    picked = keyed if every else [(keyed or found)[0]]
    out = []
    for s in picked:
        widest = design.default_bandwidth(s.offset_hz, samplerate, rejection, mixer)
        width, why = bandwidth, "as given"
        if bandwidth is None:
            width, why = design.channel_width(s, [o for o in found if o is not s], widest,
                                              samplerate)
        out.append(Choice(s, found.index(s) + 1, s in keyed, width, why, widest))
    return out


def design_channel(choice, samplerate, rejection=design.DEFAULT_REJECTION, mixer=None, taps=None,
                   gain=1.0, dc_notch=True):
    """iqenv's taps and mixer for a chosen signal (design.design, the centre at its offset, the
    notch at 0 Hz kept clear of its occupied band).

    Parameters
    ----------
    choice : Choice
    samplerate : int
        Input samples per second.
    rejection, mixer, taps, gain, dc_notch
        As for design.design: dB, hertz (None: chosen), a count (None: the fewest), the gain
        at iqenv's output before its factor, and whether a notch may take 0 Hz.

    Returns
    -------
    design.Design

    Raises
    ------
    configfile.ConfigError
        For a sample rate iqenv refuses (iqenv's own message).
    design.DesignError
        Where nothing keeps the promise (its text says what would).
    """
    configfile.check_samplerate(samplerate)
    return design.design(choice.signal.offset_hz, choice.bandwidth, rejection, mixer, samplerate,
                         taps, gain, dc_notch, choice.signal.bandwidth_hz)


def design_at(center, samplerate, bandwidth=None, taps=None, rejection=design.DEFAULT_REJECTION,
              mixer=None, gain=1.0, dc_notch=True, element_s=None, drift=0.0):
    """A channel for a signal known by its offset alone (a receiver's, live): as wide as asked
    (the default where not), and where its shortest element is known, matched to it.

    Parameters
    ----------
    center : float
        The signal's offset from the tuned frequency, hertz.
    samplerate : int
        Input samples per second.
    bandwidth, taps, rejection, mixer, gain, dc_notch
        As for design.design.
    element_s : float or None
        The signal's shortest element, seconds.
    drift : float
        Hertz the matched channel is widened by for a carrier that wanders.

    Returns
    -------
    (design.Design, matching.Match or None)
        The channel as asked, and the matched one (None where no element is given, or where
        it would be no narrower).
    """
    channel = design.design(center, bandwidth, rejection, mixer, samplerate, taps, gain,
                            dc_notch)
    if element_s is None:
        return channel, None
    return channel, matching.match(center, element_s, samplerate, channel.bandwidth, 0.0, drift,
                                   rejection, mixer, gain, dc_notch)


def match_channel(recording, choice, channel, iqenv=None, drift=0.0,
                  rejection=design.DEFAULT_REJECTION, mixer=None, gain=1.0, dc_notch=True,
                  element_s=None):
    """The channel matched to the signal's elements: where `element_s` is not given, iqenv is
    run once through `channel` (as wide as the choice allows) to measure the shortest element;
    the channel is designed again for it (matching.py). Where the elements measured through
    the matched channel prove longer by WIDER or more (noise through the wide one blurred a
    weak signal's), it is matched again, at most REFINE_PASSES times.

    Parameters
    ----------
    recording : recording.Recording
    choice : Choice
    channel : design.Design
        The first channel, designed for the choice.
    iqenv : str or None
        As for run_iqenv.
    drift : float
        Hertz the channel is widened by for a carrier that wanders beyond the recording's own.
    rejection, mixer, gain, dc_notch
        As for design_channel.
    element_s : float or None
        The shortest element, seconds, where the user knows it.

    Returns
    -------
    matching.Match or None
        None where the signal's bursts say nothing of their elements, or where the matched
        channel would be no narrower than `channel`.
    """
    element = element_s
    if element is None:
        element = matching.shortest_element(read_bursts(run_iqenv(recording, channel, iqenv)))
    if element is None:
        return None
    def matched(element):
        return matching.match(choice.signal.offset_hz, element, recording.samplerate,
                              channel.bandwidth, choice.signal.bandwidth_hz, drift, rejection,
                              mixer, gain, dc_notch)

    found = matched(element)
    if element_s is not None:
        return found
    # Through a wide channel a weak signal's elements are blurred by noise and measured short:
    # measured again through the narrower channel, they may prove longer still.
    for _ in range(REFINE_PASSES):
        if found is None:
            break
        again = matching.shortest_element(read_bursts(run_iqenv(recording, found.design, iqenv)))
        if again is None or again < matching.WIDER * element:
            break
        element, found = again, matched(again) or found
    return found


def run_iqenv(recording, channel, iqenv=None):
    """iqenv's output for a recording through a designed channel, a chunk at a time, as iqenv
    writes it (its configuration file lives in a temporary folder while it runs).

    Parameters
    ----------
    recording : recording.Recording
    channel : design.Design
    iqenv : str or None
        The iqenv program (default: the one beside iqenv-config, else iqenv on PATH).

    Yields
    ------
    array of float32
        iqenv's values, in order.
    """
    program = iqenv or pulsestream.find_iqenv() or "iqenv"
    with tempfile.TemporaryDirectory(prefix="iqenv-") as folder:
        path = os.path.join(folder, "channel.cfg")
        configfile.write_config(path, channel.mixer, channel.samplerate, channel.taps)
        yield from pulsestream.iqenv_values(program, path, recording)


def keep_envelope(values, path, frequency=None):
    """`values` passed on and written to `path` as they come (little-endian float32), with its
    SigMF metadata beside it once they are all read (rf32_le at iqenv's rate).

    Parameters
    ----------
    values : iterable of array of float32
    path : str
    frequency : float or None
        The channel's radio frequency, hertz, where known.

    Yields
    ------
    array of float32
        The values, unchanged.
    """
    with open(path, "wb") as out:
        for chunk in values:
            out.write(np.asarray(chunk).astype("<f4").tobytes())
            yield chunk
    sigmf.envelope_meta(path, frequency)


def read_bursts(values, rate=None, reader=None):
    """The bursts in iqenv's output and what each is, as the values come (live).

    Parameters
    ----------
    values : iterable of array of float32
        iqenv's output, in chunks of any size.
    rate : float or None
        Values per second (default: iqenv's output rate).
    reader : pulses.BurstReader or None
        The reader to use (to read its counts afterwards); a new one by default.

    Yields
    ------
    Decoded
        Each burst once it has ended, in order; the same values give the same bursts however
        they are cut into chunks.
    """
    reader = reader or pulses.BurstReader(rate)
    for chunk in values:
        for burst in reader.feed(chunk):
            yield Decoded(burst, analysis.analyse(burst, reader.rate))
    for burst in reader.finish():
        yield Decoded(burst, analysis.analyse(burst, reader.rate))


output_rate = facts.output_rate


__all__ = ["Choice", "Decoded", "RecordingError", "choice_at", "choose", "design_at", "design_channel",
           "find_signals", "keep_envelope", "match_channel", "open_recording", "output_rate",
           "read_bursts", "run_iqenv"]
