"""The text iqenv-config prints about a chain, a design and a scan, and the SigMF annotations
scan writes: the analysis is elsewhere (response.py, design.py, scan.py); here it is only put
into words."""
import math

import numpy as np

from . import sigmf
from .analysis import SHORTEST_SAMPLES
from .cost import cost
from .response import BEAT_DB, PASS_RIPPLE_DB, summarise
from .units import format_hz, format_rf, signed_hz

# Where the cost's figures come from: cost.py's constants, measured once, not on this machine.
ESTIMATE = "an estimate from make bench figures of one machine (README, Performance)"


def describe(chain, center=None, bandwidth=None, passband=None):
    """Lines telling what the chain does, for show and design.

    Parameters
    ----------
    chain : Chain
        The configuration's chain, with its taps.
    center, bandwidth, passband : float or None
        The channel, hertz, when known: as response.summarise takes them.

    Returns
    -------
    list of str
    """
    fmt = format_hz
    after = "".join(f"{stage.name}, " for stage in chain.stages[:-1])
    lines = ["Chain response, input frequency to iqenv's output (taps, mixer, "
             f"{after}resampler to {chain.output_rate:g}/s):"]
    summary = summarise(chain, center, bandwidth, passband)
    if summary is None:
        return lines + ["  Every tap is 0: nothing reaches the output"]
    s, a = summary, summary.assessment
    level_db = 20 * math.log10(a.level)
    given = " (given)" if center is not None else ""
    channel = f"  Channel : centre {fmt(s.centre)}{given}, level {a.level:.4g} ({level_db:.1f} dB); "
    if bandwidth is not None:
        lines.append(channel + f"over {fmt(s.width)} (given), within {s.flat.ripple_db:.2f} dB")
    else:
        lines.append(channel + f"within {PASS_RIPPLE_DB:g} dB over {fmt(s.width)}, -3 dB width "
                     f"{fmt(s.width3)}")
    if s.rival is not None:
        lines.append(f"  Note: the file alone leaves the channel ambiguous: the chain passes "
                     f"about as much near {fmt(s.rival)}; give --center (and --bandwidth)")
    f = chain.frequency
    mixer = f"  Mixer at {fmt(abs(f))}: the channel reaches the output at {fmt(s.arrives_at)}"
    if s.second_at is None:
        lines.append(mixer + " (one product: the cosine is +-1 throughout)")
    else:
        lines.append(mixer + f"; its second product, at {fmt(s.second_at)}, is "
                     f"{s.flat.second_db:.1f} dB down")
        lines.append(f"  Image : {fmt(a.image)}, {a.image_db:.1f} dB down")
    lines.append(f"  Worst rejection beyond {fmt(s.width3)} from the centre : "
                 f"{a.rejection_db:.1f} dB, at {fmt(a.worst_at)}")
    lines.append(f"  Outside the channel, the loudest tone against the channel's edge on its "
                 f"side : {s.flat.above_edge_db:+.2f} dB, at {fmt(s.flat.above_edge_at)}")
    lines.append(cost_line(len(chain.taps), chain.samplerate))
    if s.beat_db < BEAT_DB:
        lines.append(f"  Warning: the channel's second product falls inside the resampler's "
                     f"band: tones beat at {fmt(2 * abs(f))} (the second product only "
                     f"{s.beat_db:.1f} dB below the first); iqenv-config design chooses a "
                     "mixer without a beat")
    return lines


def cost_line(num_taps, samplerate):
    """The line giving the taps' cost, as cost.cost estimates it.

    Parameters
    ----------
    num_taps, samplerate : int
        The number of taps, and input samples per second.

    Returns
    -------
    str
    """
    c = cost(num_taps, samplerate)
    line = (f"  Cost : {num_taps} taps x {samplerate} samples/s = {c.macs:.3g} complex "
            "multiply-adds per second; CPU time ")
    if c.seconds is not None:
        return line + (f"about {c.seconds:.2g} s per second of input, with the decimation by "
                       f"{c.decimation}, {ESTIMATE}")
    return line + (f"about {1 + c.floor_share:.3f} x the floor's (resampling, input and output "
                   f"alone), {ESTIMATE}")


def taps_table(taps):
    """The taps as a table, for show --taps.

    Parameters
    ----------
    taps : array_like
        Complex taps.

    Returns
    -------
    list of str
    """
    return (["Taps (tap 0 weights the newest input):", "      k            real            imag"]
            + [f"{k:7d} {t.real:15.8g} {t.imag:15.8g}" for k, t in enumerate(taps)])


def design_lines(result):
    """The lines that say what a design promises and what it measured.

    Parameters
    ----------
    result : Design
        What design.design() returned.

    Returns
    -------
    list of str
    """
    fmt = format_hz
    a = result.assessment
    lo, hi = result.center - result.flat / 2, result.center + result.flat / 2
    gain_db = 20 * np.log10(result.gain)
    mixer = "chosen" if result.chose_mixer else "given"
    width = fmt(result.bandwidth) + (f", {result.bandwidth_note}" if result.bandwidth_note else "")
    if result.flat < result.bandwidth:
        width = f"{fmt(result.flat)}, the notch at 0 Hz takes the rest of {width}"
    lines = [
        f"Design: {len(result.taps)} taps, mixer at {fmt(abs(float(result.mixer)))} ({mixer})",
        f"  Channel : {fmt(lo)} to {fmt(hi)} ({width}), "
        f"within {PASS_RIPPLE_DB:g} dB of {gain_db:.1f} dB "
        f"(measured {a.ripple_db:.2f} dB)",
        f"  Outside : no tone louder than the channel's edge on its side (measured: the "
        f"loudest {-a.above_edge_db:.2f} dB below it, at {fmt(a.above_edge_at)})",
        f"  Rejection : at least {result.rejection:g} dB beyond {fmt(result.bandwidth)} from the "
        f"centre (measured {a.rejection_db:.1f} dB, at {fmt(a.worst_at)})",
    ]
    if result.notch:
        lines.append(f"  DC offset : 0 Hz is within {fmt(result.bandwidth)} of the centre: a "
                     f"notch there, {a.dc_db:.0f} dB down (--no-dc-notch passes it)")
    elif result.dc_note:
        lines.append(f"  DC offset : 0 Hz is within {fmt(result.bandwidth)} of the centre; "
                     f"{result.dc_note}")
    if not result.met:
        lines.append(f"  Note: {len(result.taps)} taps do not keep this promise; without --taps "
                     "the design takes as many as it needs")
    return lines


def table(signals, tuned=None):
    """The signals scan found, one line each under a heading.

    Parameters
    ----------
    signals : list of scan.Signal
        In scan's order: the highest power first.
    tuned : float or None
        The recording's tuned frequency in hertz, where known: a column gives each signal's.

    Returns
    -------
    list of str
    """
    if not signals:
        return ["No signals found."]
    rf = f"  {'frequency':>13}" if tuned is not None else ""
    lines = [f"{'#':>2}  {'offset':>12}{rf}  {'power':>8}  {'bandwidth':>11}  "
             f"{'first burst':>11}  {'bursts':>6}"]
    for i, s in enumerate(signals, 1):
        rf = f"  {format_rf(tuned + s.offset_hz):>13}" if tuned is not None else ""
        lines.append(f"{i:>2}  {signed_hz(s.offset_hz):>12}{rf}  {s.power_db:>5.1f} dB  "
                     f"{format_hz(s.bandwidth_hz):>11}  {s.start_s * 1e3:>8.1f} ms  "
                     f"{len(s.bursts):>6}")
        if s.fsk is not None:
            lines.append(f"    {fsk_words(s.fsk)}")
    return lines


def fsk_words(fsk):
    """What a frequency-keyed transmitter's keying is, in words: its tones (the strongest, the
    one the offset, power and bandwidth are of, first), the shift and the shortest element.

    Parameters
    ----------
    fsk : scan.Fsk

    Returns
    -------
    str
        For example "FSK: tones at -42.1118 kHz and +36.953 kHz (shift 79.0649 kHz), shortest
        element 52 us".
    """
    offsets = [signed_hz(t.offset_hz) for t in fsk.tones]
    tones = ", ".join(offsets[:-1]) + " and " + offsets[-1]
    us = None if fsk.element_s is None else fsk.element_s * 1e6
    element = "not measured" if us is None else f"{us:.0f} us" if us >= 10 else f"{us:.2g} us"
    return f"FSK: tones at {tones} (shift {format_hz(fsk.shift_hz)}), shortest element {element}"


def recording_line(recording):
    """What scan says of a recording before its table: file, format, length, rate, frequency.

    Parameters
    ----------
    recording : recording.Recording

    Returns
    -------
    str
    """
    tuned = ("tuned frequency unknown" if recording.frequency is None
             else f"tuned to {format_rf(recording.frequency)}")
    return (f"Recording: {recording.path}, {recording.format}, {recording.samples} samples at "
            f"{recording.samplerate} samples/s ({recording.seconds:.3f} s), {tuned}")


def scan_annotations(signals, samplerate, tuned=None):
    """The bursts scan found as SigMF annotations, one per burst.

    Parameters
    ----------
    signals : list of scan.Signal
        Strongest first; each is labelled with its number in scan's table.
    samplerate : int
        The recording's samples per second.
    tuned : float or None
        The recording's tuned frequency in hertz: the frequency edges are radio frequencies
        where it is known, offsets from it where not.

    Returns
    -------
    list of dict
        As sigmf.annotation makes them, in the order of the signals and their bursts. Those
        of a frequency-keyed transmitter span all its tones' bands and say its keying.
    """
    marks = []
    for i, s in enumerate(signals, 1):
        centre = s.offset_hz + (tuned or 0.0)
        where = format_rf(centre) if tuned is not None else format_hz(s.offset_hz)
        lower, upper = (edge + (tuned or 0.0) for edge in s.band_hz())
        label, keying = (f"signal {i}", "") if s.fsk is None else (
            f"signal {i} (FSK)", f"; {fsk_words(s.fsk)}")
        for start, end in s.bursts:
            first = round(start * samplerate)
            marks.append(sigmf.annotation(
                first, round(end * samplerate) - first, lower, upper, label,
                f"{where}: {s.power_db:.1f} dB above the noise in its occupied bandwidth, "
                f"{format_hz(s.bandwidth_hz)}{keying}"))
    return marks


def fsk_pulses_line(fsk, rate):
    """What pulses says of a frequency-keyed signal before its bursts: that iqenv's envelope
    sees one tone at a time, and whether its elements are long enough to read at `rate`
    values per second (analysis.SHORTEST_SAMPLES of them).

    Parameters
    ----------
    fsk : scan.Fsk
    rate : float
        The envelope's values per second.

    Returns
    -------
    str
    """
    shortest = SHORTEST_SAMPLES / rate
    if fsk.element_s is None:
        said = "its elements could not be measured"
    elif fsk.element_s < shortest:
        said = (f"its {fsk.element_s * 1e6:.0f} us elements are shorter than "
                f"{SHORTEST_SAMPLES} values "
                f"({shortest * 1e6:.0f} us) at {rate:g}/s: no bits can be read from it")
    else:
        said = "the bursts below are the strongest tone's"
    return (f"  {fsk_words(fsk)}; iqenv's envelope sees one tone at a time, the others are "
            f"rejected; {said}")


def choice_line(choice, tuned=None):
    """What design --recording says of the signal it designs for.

    Parameters
    ----------
    choice : pipeline.Choice
    tuned : float or None
        The recording's tuned frequency, hertz, where known.

    Returns
    -------
    str
    """
    s = choice.signal
    rf = "" if tuned is None else f" ({format_rf(tuned + s.offset_hz)})"
    width = choice.bandwidth or choice.widest
    return (f"Designing for signal {choice.number}, the strongest"
            f"{' that keys on and off' if choice.keyed else ''}: centre "
            f"{format_hz(s.offset_hz)}{rf}, bandwidth "
            f"{format_hz(width) + ' ' if width > 0 else ''}({choice.why})")


def match_line(match, samplerate):
    """What the channel matched to a signal's elements is, and what it costs.

    Parameters
    ----------
    match : matching.Match
    samplerate : int
        Input samples per second.

    Returns
    -------
    str
    """
    c = cost(len(match.design.taps), samplerate)
    against = "" if c.seconds is not None else f", {1 + c.floor_share:.2f} x the floor's"
    return (f"Matched channel: {format_hz(match.bandwidth)} for {match.element_s * 1e6:.0f} us "
            f"elements ({match.why}); "
            f"{len(match.design.taps)} taps, iqenv about {match.cpu:.3f} s of CPU a second of "
            f"input{against}")
