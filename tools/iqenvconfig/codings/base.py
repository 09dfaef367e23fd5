"""What every coding is: a timing model that a burst's widths fit more or less well, the flex
decoder that reads its bits in rtl_433, and how those bits become the coding's symbols."""
from dataclasses import dataclass

import numpy as np

from .. import flex

TOLERANCE = 0.3  # an element fits a nominal width within this share of it
UNIT_TOLERANCE = 0.3  # ... and a multiple of the unit within this share of the unit
SPEC_TOLERANCE = 0.45  # a spec's tolerance: this share of the step between its two widths

REGISTRY = []


@dataclass
class Fit:
    """How one coding explains a burst.

    coding: the Coding; variant: which form of it ("" where it has one); confidence: the share
    of the burst's data elements its timing model explains (0-1); spec: the flex decoder that
    reads its bits; bit_us: one bit's (one symbol's) duration; note: what else to say of it.
    """
    coding: object
    variant: str
    confidence: float
    spec: flex.Spec
    bit_us: float
    note: str = ""


class Coding:
    """One coding. Subclasses set the class attributes and `fit`.

    name: as reports print it; rank: the order among fits equally good and simple (lower
    first: the more specific); widths: the nominal widths its timing model sets (its free
    parameters); symbols: the alphabet of its rows.
    """
    name = ""
    rank = 0
    widths = 1
    symbols = "01"

    def __init_subclass__(cls, **kwargs):
        super().__init_subclass__(**kwargs)
        REGISTRY.append(cls)

    def fit(self, framing, limits):
        """How this coding explains the burst, or None where it cannot.

        Parameters
        ----------
        framing : framing.Framing
            The burst's structure.
        limits : Limits
            The row gap and reset limits its spec must keep to.

        Returns
        -------
        Fit or None
        """
        raise NotImplementedError

    def confirm(self, fit, bits):
        """The fit's confidence once its rows are read (`bits`, rtl_433's rows, lists of 0 and
        1): some codings say more of a burst from its bits than from its widths."""
        return fit.confidence

    def rows(self, bits):
        """The coding's symbol rows (strings) from rtl_433's bit rows (lists of 0 and 1)."""
        return ["".join(map(str, r)) for r in bits]


@dataclass
class Limits:
    """Where a spec's limits must lie for this burst (us): the row gap limit between the longest
    gap inside a row and the shortest gap between rows (0: the burst has one row), and the
    reset limit between the longest gap inside a package and the shortest gap that ends one."""
    gap: float
    reset: float


def near(w, nominal, tolerance=TOLERANCE):
    """Whether width `w` lies within `tolerance` of `nominal` (a share of it)."""
    return abs(w - nominal) <= tolerance * nominal


def two(found):
    """(short, long) means of the two biggest clusters, or None."""
    if len(found) < 2:
        return None
    top = sorted(sorted(found, key=lambda c: -c.count)[:2], key=lambda c: c.mean)
    return top[0].mean, top[1].mean


def commonest(found):
    """Mean of the cluster with the most members (None for none)."""
    return max(found, key=lambda c: c.count).mean if found else None


def share(flags):
    """The share of True among `flags` (0 for none)."""
    return float(np.mean(flags)) if len(flags) else 0.0
