"""Pulse code modulation (NRZ): one bit a unit, on for 1; every width a whole number of units.
The least specific coding: what is not explained better is still PCM."""
import numpy as np

from .. import flex
from .base import UNIT_TOLERANCE, Coding, Fit, share


class PCM(Coding):
    name = "PCM"
    rank = 9
    widths = 1

    def fit(self, framing, limits):
        unit = framing.unit_us
        k = np.array([w for row in framing.elements for _, w in row]) / unit
        # rtl_433 counts the zeros after a row's last pulse up to the row gap limit (else the
        # reset limit) in units, rounding as it measures: limits of whole units keep its count
        # and ours the same.
        spec = flex.Spec("OOK_PCM", unit, unit, _whole(limits.reset, unit),
                         _whole(limits.gap, unit) if limits.gap else 0.0)
        return Fit(self, "NRZ", share(np.abs(k - np.round(k)) <= UNIT_TOLERANCE), spec, unit)


def _whole(limit, unit):
    """`limit` (us) moved to the nearest whole number of units, as the flex spec prints them."""
    return max(1, round(limit / unit)) * round(unit)
