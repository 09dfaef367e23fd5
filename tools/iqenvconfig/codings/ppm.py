"""Pulse position modulation: pulses of one width, the bits in the gaps, a short gap 0 and a
long one 1."""
from .. import flex
from .base import SPEC_TOLERANCE, Coding, Fit, commonest, near, share, two


class PPM(Coding):
    name = "PPM"
    rank = 1
    widths = 3

    def fit(self, framing, limits):
        widths = two(framing.gap_clusters)
        if not widths or widths[1] <= 1.4 * widths[0] or not framing.pulse_clusters:
            return None
        s, l_ = widths
        pulse = commonest(framing.pulse_clusters)
        confidence = min(share([near(x, pulse) for x in framing.data_pulses]),
                         share([near(y, s) or near(y, l_) for y in framing.data_gaps]))
        spec = flex.Spec("OOK_PPM", s, l_, limits.reset, limits.gap, SPEC_TOLERANCE * (l_ - s))
        return Fit(self, "", confidence, spec, pulse + (s + l_) / 2)
