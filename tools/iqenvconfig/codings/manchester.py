"""Manchester: each bit two half-bit units, a falling edge mid-bit 1 and a rising one 0 (the
row starting with the 0 bit whose silent first half cannot be seen, as rtl_433's
OOK_MC_ZEROBIT reads it)."""
import numpy as np

from .. import flex
from .base import UNIT_TOLERANCE, Coding, Fit, share


def halves(framing):
    """Each element's length in half bits (rounded), and whether it lies near a whole number of
    them."""
    k = np.array([w for row in framing.elements for _, w in row]) / framing.unit_us
    return np.round(k), np.abs(k - np.round(k)) <= UNIT_TOLERANCE


def long_starts(framing):
    """Half-bit positions, from each row's first edge, where two-unit elements start."""
    starts = []
    for row in framing.elements:
        at = 0
        for _, w in row:
            n = max(1, int(round(w / framing.unit_us)))
            if n == 2:
                starts.append(at)
            at += n
    return np.array(starts)


class Manchester(Coding):
    name = "Manchester"
    rank = 3
    widths = 1

    def fit(self, framing, limits):
        n, whole = halves(framing)
        if not (np.all(n[whole] <= 2) and (n == 2).any()):
            return None
        confidence = share(whole) * share(long_starts(framing) % 2 == 0)
        unit = framing.unit_us
        # Rows end only where a message does: the reset limit between rows.
        reset = limits.gap or limits.reset
        spec = flex.Spec("OOK_MC_ZEROBIT", unit, unit, reset)
        return Fit(self, "leading zero bit", confidence, spec, 2 * unit)
