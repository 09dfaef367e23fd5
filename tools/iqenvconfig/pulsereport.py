"""The pulse analyser's output: a readable report, one JSON object per burst, or rtl_433's OOK
pulse data. Each takes a burst and its analysis and only formats them."""
import json

from . import analysis as analysed
from . import flex, sigmf
from .bursts import END_QUIET, MAX_BURST

END_RULE = (f"a burst ends after {END_QUIET * 1e3:g} ms without a pulse (or after "
            f"{MAX_BURST:g} s)")
CUT = ("cut: the input ended (or the longest burst passed) before the quiet that ends a burst, so "
       "its last element may be missing")
# The verdicts whose pulses go to rtl_433: whatever may be a message, for its decoders to judge
# (they check more than we can: a CRC, a sum, a length); noise and a carrier are none.
PASSED_ON = (analysed.DECODED, analysed.NO_CODING, analysed.TOO_WEAK, analysed.TOO_SHORT)


def hex_bits(bits):
    """rtl_433's row notation: {count} then the bits as hexadecimal, the last digit padded; a
    digit with a bit not known ("?") is "?".

    Parameters
    ----------
    bits : str or sequence of int
        "0", "1" and "?" (or 0 and 1).
    """
    text = "".join(str(b) for b in bits)
    padded = text + "0" * (-len(text) % 4)
    digits = "".join("?" if "?" in padded[i:i + 4] else f"{int(padded[i:i + 4], 2):x}"
                     for i in range(0, len(padded), 4))
    return f"{{{len(text)}}}{digits}"


def row_text(row, symbols):
    """A row as reports show it: rtl_433's notation then the bits, for a coding of bits; the
    symbols alone for one of more."""
    return f"{hex_bits(row)} {row}" if symbols == "01" else row


def _cluster(c):
    return {"mean_us": round(c.mean, 1), "min_us": round(c.low, 1), "max_us": round(c.high, 1),
            "count": c.count}


def record(burst, analysis, index, rate, label=None, file=None):
    """One burst as a JSON-ready dict.

    Parameters
    ----------
    burst : pulses.Burst
    analysis : analysis.Analysis
    index : int
        Burst number, from 1.
    rate : float
        The envelope's values per second.
    label : str or None
        Which signal it came from (an offset, with --all).
    file : str or None
        The file it came from (a recording, or a file of iqenv's output).

    Returns
    -------
    dict
    """
    out = {"file": file} if file else {}
    out["burst"] = index
    if label:
        out["signal"] = label
    out.update({
        "start_s": round(burst.start, 6), "verdict": analysis.verdict, "why": analysis.why,
        "pulses": len(burst.pulses), "snr_db": round(burst.snr_db, 1),
        "separation": round(min(burst.separation, 1e6), 1),
        "smoothing_us": round(burst.span / rate * 1e6, 1), "glitches": burst.glitches,
        "end": END_RULE, "cut": burst.cut,
        "carrier_db": round(burst.carrier, 1) if burst.carrier else None,
    })

    framing = analysis.framing
    if framing:
        out.update({
            "pulse_clusters": [_cluster(c) for c in framing.pulse_clusters],
            "gap_clusters": [_cluster(c) for c in framing.gap_clusters],
            "sync_pulse": _cluster(framing.sync_pulse) if framing.sync_pulse else None,
            "sync_gap": _cluster(framing.sync_gap) if framing.sync_gap else None,
            "row_gaps": [_cluster(c) for c in framing.row_gaps],
            "unit_us": round(analysis.unit_us, 1)})
    if analysis.candidates:
        out["codings"] = [{"name": c.name, "variant": c.fit.variant,
                           "confidence": round(c.confidence, 3)} for c in analysis.candidates]
    best = analysis.best
    if best:
        out.update({
            "won": analysis.won, "bit_us": round(best.fit.bit_us, 1),
            "rate_bps": round(1e6 / best.fit.bit_us, 1), "rows": [r for r in best.rows if r],
            "consensus": analysis.consensus, "disagree": analysis.disagree,
            "preamble": analysis.preamble, "flex": best.fit.spec.text()})
        if best.fit.note:
            out["flex_note"] = best.fit.note
    out["timings_us"] = [[round(p), round(g)] for p, g in burst.pulses]
    return out


def json_line(burst, analysis, index, rate, label=None, file=None):
    """The burst as one line of JSON (the parameters as for record)."""
    return json.dumps(record(burst, analysis, index, rate, label, file), separators=(",", ":"))


def _clusters_text(found):
    return ", ".join(f"{c.mean:.0f} us x{c.count} ({c.low:.0f}-{c.high:.0f})" for c in found) \
        or "none"


def text_lines(burst, analysis, index, rate, label=None):
    """The readable report of one burst.

    Parameters
    ----------
    burst, analysis, index, rate, label
        As for `record`.

    Returns
    -------
    list of str
    """
    where = f" ({label})" if label else ""
    lines = [f"Burst {index}{where} at {burst.start:.3f} s: {len(burst.pulses)} pulses, SNR "
             f"{burst.snr_db:.1f} dB, smoothed over {burst.span} samples "
             f"({burst.span / rate * 1e6:.0f} us), {burst.glitches} glitches dropped"
             + (", cut" if burst.cut else "")]
    if burst.cut:
        lines.append(f"  Note     : {CUT}")
    if burst.carrier and analysis.verdict != analysed.CARRIER:
        lines.append(f"  Floor    : rose {burst.carrier:.1f} dB during it and stayed (a carrier "
                     "came into the channel, or the noise rose)")
    framing = analysis.framing
    if framing:
        lines.append(f"  Pulses   : {_clusters_text(framing.pulse_clusters)}")
        lines.append(f"  Gaps     : {_clusters_text(framing.gap_clusters)}")
        marks = []
        if framing.sync_pulse:
            marks.append(f"sync pulse {framing.sync_pulse.mean:.0f} us")
        if framing.sync_gap:
            marks.append(f"sync gap {framing.sync_gap.mean:.0f} us")
        if framing.row_gaps:
            marks.append("rows end at gaps of " + _clusters_text(framing.row_gaps))
        if marks:
            lines.append(f"  Framing  : {'; '.join(marks)}")
    best = analysis.best
    if best is None:
        lines.append(f"  Verdict  : {analysis.verdict}: {analysis.why}")
        return lines
    others = ", ".join(f"{c.name} {c.confidence * 100:.0f} %" for c in analysis.candidates[1:4])
    variant = f", {best.fit.variant}" if best.fit.variant else ""
    lines.append(f"  Coding   : {best.name}{variant} (fits {best.confidence * 100:.0f} %)"
                 + (f"; {analysis.won}" if analysis.won else "")
                 + (f"; then {others}" if others else ""))
    lines.append(f"  Rate     : {1e6 / best.fit.bit_us:.0f} symbol/s ({best.fit.bit_us:.0f} us a "
                 "symbol)")
    symbols = best.fit.coding.symbols
    rows = [r for r in best.rows if r]
    for i, r in enumerate(rows):
        lines.append(f"  Row {i + 1:<5d}: {row_text(r, symbols)}")
    if analysis.consensus:
        shown = row_text(analysis.consensus, symbols)
        lines.append(f"  Consensus: {shown}")
        if analysis.disagree:
            pad = len(shown) - len(analysis.consensus)
            under = "".join("^" if i in set(analysis.disagree) else " "
                            for i in range(len(analysis.consensus)))
            lines.append(f"  {'':9s}  {'':{pad}s}{under.rstrip()}  (rows disagree)")
    if analysis.preamble:
        lines.append(f"  Preamble : {analysis.preamble} ({len(analysis.preamble)} bits)")
    lines.append(f"  rtl_433  : -X '{best.fit.spec.text()}'"
                 + (f" ({best.fit.note})" if best.fit.note else ""))
    return lines


def ook_lines(burst):
    """rtl_433's OOK pulse data for one burst: its packages as rtl_433's own detector would cut
    them, each a header, one "pulse gap" line in us per pulse, and ";end"."""
    lines = []
    for package in flex.packages(burst.pulses):
        lines += [";pulse data", ";version 1", ";timescale 1us", f";ook {len(package)} pulses",
                  ";samplerate 1000000 Hz", f";snr {burst.snr_db:.1f} dB"]
        lines += [f"{max(1, round(p))} {max(1, round(g))}" for p, g in package]
        lines.append(";end")
    return lines


def header_lines(rate):
    """What the readable report says before its first burst."""
    return [f"Pulses from iqenv's output at {rate:g} values/s; {END_RULE}."]


def summary_lines(count, dropped, glitches):
    """What the readable report says after the last burst: how many bursts, stretches of
    activity left out for too few pulses, and glitches dropped."""
    return [f"{count} bursts; {dropped} stretches of activity with too few pulses left out; "
            f"{glitches} glitches dropped in all"]


def annotation(burst, analysis, channel, samplerate, tuned=None):
    """A burst as a SigMF annotation of the recording it came from.

    Parameters
    ----------
    burst : pulses.Burst
    analysis : analysis.Analysis
    channel : (float, float)
        The channel iqenv decoded: centre and bandwidth, hertz from the tuned frequency.
    samplerate, tuned
        As for report.scan_annotations: the recording's samples per second, and its tuned
        frequency in hertz (None where unknown).

    Returns
    -------
    dict
        As sigmf.annotation makes it: the burst's span (from its first edge to the end of its
        last pulse, on iqenv's output, whose delay is a few milliseconds at most), the channel's
        edges, the coding named as the label (else the verdict), the bits and the SNR in the
        comment.
    """
    centre, bandwidth = channel
    centre += tuned or 0.0
    length = sum(p + g for p, g in burst.pulses) - burst.pulses[-1][1] if burst.pulses else 0.0
    best = analysis.best
    label = best.name if best else analysis.verdict
    said = f"bits {analysis.consensus}" if best else analysis.why
    return sigmf.annotation(round(burst.start * samplerate), round(length * 1e-6 * samplerate),
                            centre - bandwidth / 2, centre + bandwidth / 2, label,
                            f"{said}; SNR {burst.snr_db:.1f} dB")
