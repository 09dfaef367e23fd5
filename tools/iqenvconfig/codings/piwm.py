"""Pulse interval and width modulation: every pulse and every gap a bit, short 1 and long 0
(rtl_433's OOK_PIWM_DC)."""
import numpy as np

from .. import flex
from .base import SPEC_TOLERANCE, Coding, Fit, near, share, two
from ..framing import clusters


class PIWM(Coding):
    """Pulses and gaps both take the two widths: where either has one width, they carry no bits
    of their own and the coding is another."""
    name = "PIWM"
    rank = 5
    widths = 2

    def fit(self, framing, limits):
        if len(framing.pulse_clusters) < 2 or len(framing.gap_clusters) < 2:
            return None
        flat = np.array([w for row in framing.elements for _, w in row])
        widths = two(clusters(flat))
        if not widths or widths[1] <= 1.4 * widths[0]:
            return None
        s, l_ = widths
        confidence = share([near(w, s) or near(w, l_) for w in flat])
        spec = flex.Spec("OOK_PIWM_DC", s, l_, limits.reset, 0.0, SPEC_TOLERANCE * (l_ - s))
        return Fit(self, "", confidence, spec, float(np.mean(flat)))
