"""Differential Manchester: the level changes at each bit's start, a whole-bit element 0 and
two half-bit elements 1. Its timings are Manchester's with the leading zero bit but for one
thing: its rows last a whole number of bits, where a Manchester row that ends on a 0 lasts an
odd number of half bits."""
import numpy as np

from .. import flex
from .base import SPEC_TOLERANCE, Coding, Fit, share
from .manchester import halves, long_starts


class DifferentialManchester(Coding):
    name = "differential Manchester"
    rank = 4
    widths = 1

    def fit(self, framing, limits):
        n, whole = halves(framing)
        if not (np.all(n[whole] <= 2) and (n == 2).any()):
            return None
        unit = framing.unit_us
        per_row = [sum(max(1, int(round(w / unit))) for _, w in row) for row in framing.elements]
        confidence = share(whole) * share(long_starts(framing) % 2 == 0) * share(
            [k % 2 == 0 for k in per_row])
        spec = flex.Spec("OOK_DMC", unit, 2 * unit, limits.reset, 0.0, SPEC_TOLERANCE * unit)
        return Fit(self, "", confidence, spec, 2 * unit)
