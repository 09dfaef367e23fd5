"""The pulse analyser's output: a readable report, one JSON object per burst, or rtl_433's OOK
pulse data. Each takes a burst and its analysis and only formats them."""
import json

from . import pulses as slicing
from . import sigmf
from .resampler import OUTPUT_RATE

END_RULE = (f"a burst ends after {slicing.END_QUIET * 1e3:g} ms without a pulse (or after "
            f"{slicing.MAX_BURST:g} s)")


def hex_bits(bits):
    """rtl_433's row notation: {count} then the bits as hexadecimal, the last digit padded."""
    text = "".join(str(b) for b in bits)
    padded = text + "0" * (-len(text) % 4)
    digits = "".join(f"{int(padded[i:i + 4], 2):x}" for i in range(0, len(padded), 4))
    return f"{{{len(text)}}}{digits}"


def _cluster(c):
    return {"mean_us": round(c.mean, 1), "min_us": round(c.low, 1), "max_us": round(c.high, 1),
            "count": c.count}


def record(burst, analysis, index, label=None, file=None):
    """One burst as a JSON-ready dict.

    Parameters
    ----------
    burst : pulses.Burst
    analysis : coding.Analysis
    index : int
        Burst number, from 1.
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
        "start_s": round(burst.start, 6), "pulses": len(burst.pulses),
        "snr_db": round(burst.snr_db, 1), "smoothing_us": round(burst.span / OUTPUT_RATE * 1e6, 1),
        "glitches": burst.glitches, "end": END_RULE, "cut": burst.cut,
        "pulse_clusters": [_cluster(c) for c in analysis.pulse_clusters],
        "gap_clusters": [_cluster(c) for c in analysis.gap_clusters],
        "sync_pulse": _cluster(analysis.sync_pulse) if analysis.sync_pulse else None,
        "sync_gap": _cluster(analysis.sync_gap) if analysis.sync_gap else None,
        "row_gaps": [_cluster(c) for c in analysis.row_gaps],
        "unit_us": round(analysis.unit_us, 1), "too_short": analysis.too_short,
    })
    best = analysis.best
    if best:
        out.update({
            "codings": [{"name": c.name, "variant": c.variant,
                         "confidence": round(c.confidence, 3)} for c in analysis.candidates],
            "bit_us": round(best.bit_us, 1), "rate_bps": round(1e6 / best.bit_us, 1),
            "rows": ["".join(map(str, r)) for r in best.rows if r],
            "consensus": analysis.consensus, "disagree": analysis.disagree,
            "preamble": analysis.preamble, "flex": best.flex,
        })
    out["timings_us"] = [[round(p), round(g)] for p, g in burst.pulses]
    return out


def json_line(burst, analysis, index, label=None, file=None):
    """The burst as one line of JSON (the parameters as for record)."""
    return json.dumps(record(burst, analysis, index, label, file), separators=(",", ":"))


def _clusters_text(found):
    return ", ".join(f"{c.mean:.0f} us x{c.count} ({c.low:.0f}-{c.high:.0f})" for c in found) \
        or "none"


def text_lines(burst, analysis, index, label=None):
    """The readable report of one burst.

    Parameters
    ----------
    burst, analysis, index, label
        As for `record`.

    Returns
    -------
    list of str
    """
    where = f" ({label})" if label else ""
    lines = [f"Burst {index}{where} at {burst.start:.3f} s: {len(burst.pulses)} pulses, SNR "
             f"{burst.snr_db:.1f} dB, smoothed over {burst.span} samples "
             f"({burst.span / OUTPUT_RATE * 1e6:.0f} us), {burst.glitches} glitches dropped"
             + (", cut at the longest burst" if burst.cut else "")]
    lines.append(f"  Pulses   : {_clusters_text(analysis.pulse_clusters)}")
    lines.append(f"  Gaps     : {_clusters_text(analysis.gap_clusters)}")
    marks = []
    if analysis.sync_pulse:
        marks.append(f"sync pulse {analysis.sync_pulse.mean:.0f} us")
    if analysis.sync_gap:
        marks.append(f"sync gap {analysis.sync_gap.mean:.0f} us")
    if analysis.row_gaps:
        marks.append("rows end at gaps of " + _clusters_text(analysis.row_gaps))
    if marks:
        lines.append(f"  Framing  : {'; '.join(marks)}")
    if analysis.too_short:
        lines.append(f"  Coding   : not resolved: its shortest elements "
                     f"({analysis.unit_us:.0f} us) are shorter than 3 samples "
                     f"({3e6 / OUTPUT_RATE:.0f} us) at {OUTPUT_RATE}/s")
        return lines
    best = analysis.best
    others = ", ".join(f"{c.name} {c.confidence * 100:.0f} %" for c in analysis.candidates[1:4])
    variant = f", {best.variant}" if best.variant else ""
    lines.append(f"  Coding   : {best.name}{variant} (fits {best.confidence * 100:.0f} %)"
                 + (f"; then {others}" if others else ""))
    lines.append(f"  Rate     : {1e6 / best.bit_us:.0f} bit/s ({best.bit_us:.0f} us a bit)")
    rows = [r for r in best.rows if r]
    for i, r in enumerate(rows):
        lines.append(f"  Row {i + 1:<5d}: {hex_bits(r)} {''.join(map(str, r))}")
    if analysis.consensus:
        lines.append(f"  Consensus: {hex_bits(analysis.consensus.replace('?', '0'))} "
                     f"{analysis.consensus}")
        if analysis.disagree:
            pad = len(hex_bits(analysis.consensus)) + 1
            under = "".join("^" if i in set(analysis.disagree) else " "
                            for i in range(len(analysis.consensus)))
            lines.append(f"  {'':9s}  {'':{pad}s}{under.rstrip()}  (rows disagree)")
    if analysis.preamble:
        lines.append(f"  Preamble : {analysis.preamble} ({len(analysis.preamble)} bits)")
    lines.append(f"  rtl_433  : -X '{best.flex}'")
    return lines


def ook_lines(burst):
    """rtl_433's OOK pulse data for one burst: header, one "pulse gap" line in us per pulse,
    ";end"."""
    lines = [";pulse data", ";version 1", ";timescale 1us", f";ook {len(burst.pulses)} pulses",
             f";samplerate {OUTPUT_RATE} Hz", f";snr {burst.snr_db:.1f} dB"]
    lines += [f"{max(1, round(p))} {max(1, round(g))}" for p, g in burst.pulses]
    lines.append(";end")
    return lines


def header_lines():
    """What the readable report says before its first burst."""
    return [f"Pulses from iqenv's output at {OUTPUT_RATE} values/s; {END_RULE}."]


def summary_lines(count, dropped, glitches):
    """What the readable report says after the last burst: how many bursts, stretches of
    activity left out for too few pulses, and glitches dropped."""
    return [f"{count} bursts; {dropped} stretches of activity with too few pulses left out; "
            f"{glitches} glitches dropped in all"]



def annotation(burst, analysis, channel, samplerate, tuned=None):
    """A decoded burst as a SigMF annotation of the recording it came from.

    Parameters
    ----------
    burst : pulses.Burst
    analysis : coding.Analysis
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
        edges, the coding named as the label, the bits and the SNR in the comment.
    """
    centre, bandwidth = channel
    centre += tuned or 0.0
    length = sum(p + g for p, g in burst.pulses) - burst.pulses[-1][1]
    best = analysis.best
    label = best.name if best else "pulses"
    bits = f"bits {analysis.consensus}" if best else f"{len(burst.pulses)} pulses, no coding"
    return sigmf.annotation(round(burst.start * samplerate), round(length * 1e-6 * samplerate),
                            centre - bandwidth / 2, centre + bandwidth / 2, label,
                            f"{bits}; SNR {burst.snr_db:.1f} dB")
