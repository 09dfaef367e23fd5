"""rtl_433's side of the pulses: how its own detector would cut them into packages, its flex
decoder spec (`-X`) for a coding, and the rows that spec reads from the pulses.

The rows every report gives are read here the way rtl_433's flex decoder reads them, so the
spec printed beside them gives the same rows back from our pulse data. The specs keep every
width of the burst well inside their tolerances and every limit well away from the gaps they
tell apart, so that rtl_433 reading the raw recording, which measures the widths a little
differently, reads the same.

rtl_433's conventions: PWM a short pulse is 1 (a pulse far from both widths starts a new row,
so does the sync pulse); PPM a short gap is 0 (pulses are not looked at; a gap far from both
starts a new row); PCM (NRZ) a pulse of n units is n ones and its period of m units adds m - n
zeros, the zeros after a row's last pulse up to the row gap limit (else the reset limit) in
units; Manchester (OOK_MC_ZEROBIT) a falling edge mid-bit is 1, each message starting with the
0 bit whose silent first half cannot be seen; differential Manchester a whole-bit element is 0,
two half-bit elements 1 (an element far from both after half a bit ends the row on a 1, and is
passed over elsewhere; only a gap beyond the reset limit ends its message, so rows that none
parts are read as one); PIWM (OOK_PIWM_DC) each pulse and gap is a bit, short 1 and long 0, an
element far from both starting a new row. A gap beyond the row gap limit (g) starts a new row
where the coding has one, a gap beyond the reset limit (r) ends the message.
"""
from dataclasses import dataclass

import numpy as np

# rtl_433's own detector ends a package at a gap longer than both of these: 10 ms, and 10 times
# the longest pulse of the package so far (or at 100 ms whatever the pulses).
PACKAGE_GAP_US = 10000.0
PACKAGE_GAP_RATIO = 10.0
LONGEST_PACKAGE_GAP_US = 100000.0


@dataclass(frozen=True)
class Spec:
    """One flex decoder: its modulation (rtl_433's name), nominal widths (us), limits (us: 0
    where not set) and sync pulse width (us, PWM only; 0 for none)."""
    mode: str
    short: float
    long: float
    reset: float
    gap: float = 0.0
    tolerance: float = 0.0
    sync: float = 0.0

    def text(self, name="iqenv"):
        """The flex spec as `-X` takes it."""
        out = f"n={name},m={self.mode},s={round(self.short)},l={round(self.long)}"
        if self.sync:
            out += f",y={round(self.sync)}"
        out += f",r={round(self.reset)}"
        if self.gap:
            out += f",g={round(self.gap)}"
        if self.tolerance:
            out += f",t={round(self.tolerance)}"
        return out


def packages(pulses):
    """The burst's pulses cut where rtl_433's own detector would end a package.

    Parameters
    ----------
    pulses : list of (float, float)
        (pulse us, gap us) pairs.

    Returns
    -------
    list of list of (float, float)
        The packages, in order; each one's last gap the one that ended it.
    """
    out, current, longest = [], [], 0.0
    for p, g in pulses:
        current.append((p, g))
        longest = max(longest, p)
        if g > max(PACKAGE_GAP_US, PACKAGE_GAP_RATIO * longest) or g > LONGEST_PACKAGE_GAP_US:
            out.append(current)
            current, longest = [], 0.0
    if current:
        out.append(current)
    return out


def package_end_limit(package):
    """The shortest gap that would have ended this package."""
    return max(PACKAGE_GAP_US, PACKAGE_GAP_RATIO * max(p for p, _ in package))


def read(spec, package):
    """The rows rtl_433's flex decoder with `spec` reads from one package.

    Parameters
    ----------
    spec : Spec
    package : list of (float, float)
        (pulse us, gap us) pairs, the last gap the one that ends the package.

    Returns
    -------
    list of list of int
        Its rows, every message's in turn, empty rows left out.
    """
    return [r for r in _READERS[spec.mode](spec, package) if r]


class _Rows:
    """Rows being filled; messages end into `done`."""

    def __init__(self):
        self.done, self.rows = [], [[]]

    def bit(self, b):
        self.rows[-1].append(b)

    def new_row(self):
        if self.rows[-1]:
            self.rows.append([])

    def end(self):
        self.done += self.rows
        self.rows = [[]]

    def close(self):
        self.end()
        return self.done


def _ends(spec, i, package, gap):
    return i == len(package) - 1 or gap > spec.reset


def _pwm(spec, package):
    out = _Rows()
    for i, (p, g) in enumerate(package):
        if spec.sync and abs(p - spec.sync) < spec.tolerance:
            out.new_row()
        elif abs(p - spec.short) < spec.tolerance:
            out.bit(1)
        elif abs(p - spec.long) < spec.tolerance:
            out.bit(0)
        elif p > spec.short:
            out.new_row()
        if _ends(spec, i, package, g):
            out.end()
        elif spec.gap and g > spec.gap:
            out.new_row()
    return out.close()


def _ppm(spec, package):
    out = _Rows()
    for i, (_, g) in enumerate(package):
        if _ends(spec, i, package, g):
            out.end()
        elif abs(g - spec.short) < spec.tolerance:
            out.bit(0)
        elif abs(g - spec.long) < spec.tolerance:
            out.bit(1)
        else:
            out.new_row()
    return out.close()


def _pcm(spec, package):
    out = _Rows()
    unit = spec.short
    most_zeros = int(np.floor((spec.gap or spec.reset) / spec.long + 0.5))
    for i, (p, g) in enumerate(package):
        ones = int(np.floor(p / unit + 0.5))
        zeros = int(np.floor((p + g) / spec.long + 0.5)) - ones
        for _ in range(ones):
            out.bit(1)
        for _ in range(min(max(zeros, 0), most_zeros)):
            out.bit(0)
        if _ends(spec, i, package, g):
            out.end()
        elif spec.gap and g > spec.gap:
            out.new_row()
    return out.close()


def _manchester(spec, package):
    out = _Rows()
    out.bit(0)
    since = 0.0
    for i, (p, g) in enumerate(package):
        if p + since > 1.5 * spec.short:
            out.bit(1)  # the falling edge at the pulse's end
            since = 0.0
        else:
            since += p
        if _ends(spec, i, package, g):
            out.end()
            out.bit(0)
            since = 0.0
        elif g + since > 1.5 * spec.short:
            out.bit(0)  # the rising edge at the gap's end
            since = 0.0
        else:
            since += g
    out.rows = [[]]  # the zero bit that would start a next message
    return out.close()


def _dmc(spec, package):
    out = _Rows()
    half = False  # a half-bit element waits for its pair
    for i, (p, g) in enumerate(package):
        for w, last in ((p, False), (g, _ends(spec, i, package, g))):
            if last:
                break
            if abs(w - spec.long) < spec.tolerance:
                out.bit(0)
                half = False
            elif abs(w - spec.short) < spec.tolerance:
                if half:
                    out.bit(1)
                half = not half
            elif half:
                # A stray element after half a bit: the bit is taken as 1 and a row begins.
                out.bit(1)
                out.new_row()
                half = False
        if g > spec.reset:  # only a long gap ends a message: a last half-bit counts as 1
            if half:
                out.bit(1)
            out.end()
            half = False
    out.rows = [[]]  # what no long gap ended is not read
    return out.close()


def _piwm(spec, package):
    out = _Rows()
    for i, (p, g) in enumerate(package):
        for w, last in ((p, False), (g, _ends(spec, i, package, g))):
            if last:
                break
            if abs(w - spec.short) < spec.tolerance:
                out.bit(1)
            elif abs(w - spec.long) < spec.tolerance:
                out.bit(0)
            else:
                out.new_row()
        if _ends(spec, i, package, g):
            out.end()
    return out.close()


_READERS = {"OOK_PWM": _pwm, "OOK_PPM": _ppm, "OOK_PCM": _pcm, "OOK_MC_ZEROBIT": _manchester,
            "OOK_DMC": _dmc, "OOK_PIWM_DC": _piwm}
