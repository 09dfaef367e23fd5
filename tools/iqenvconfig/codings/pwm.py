"""Pulse width modulation: the bits in the pulses' widths, a short pulse 1 and a long one 0."""
import numpy as np

from .. import flex
from .base import SPEC_TOLERANCE, Coding, Fit, commonest, near, share, two


class PWM(Coding):
    """Two pulse widths; the gaps one width ("fixed gap"), or what makes each period one length
    ("fixed period")."""
    name = "PWM"
    rank = 2
    widths = 3

    def fit(self, framing, limits):
        widths = two(framing.pulse_clusters)
        if not widths or widths[1] <= 1.4 * widths[0]:
            return None
        s, l_ = widths
        pulses, gaps = framing.data_pulses, framing.data_gaps
        confidence = share([near(x, s) or near(x, l_) for x in pulses])
        periods = np.concatenate([_periods(r) for r in framing.rows])
        if len(framing.gap_clusters) <= 1 or share(
                [near(y, commonest(framing.gap_clusters), 0.35) for y in gaps]) > 0.95:
            variant = "fixed gap"
        elif len(periods) and periods.std() < 0.1 * periods.mean():
            variant = "fixed period"
        else:
            variant, confidence = "varying gap", confidence * 0.5
        sync = framing.sync_pulse.mean if framing.sync_pulse else 0.0
        spec = flex.Spec("OOK_PWM", s, l_, limits.reset, limits.gap,
                         SPEC_TOLERANCE * (l_ - s), sync)
        return Fit(self, variant, confidence, spec,
                   float(np.median(periods)) if len(periods) else s + l_)


def _periods(row):
    """Each data pulse with the gap after it (us), where it has one."""
    first = int(row.sync_pulse)
    end = min(len(row.pulses) - int(row.sync_end), len(row.gaps))
    return row.pulses[first:end] + row.gaps[first:end]
