"""What a burst says: its structure, the codings that explain it best first, its rows as
rtl_433's flex decoder reads them, their consensus; and, first of all, whether it can say
anything: a carrier, noise, a signal too weak to slice or too fast for the envelope's rate get
a verdict and no bits. All of it from the burst's values alone: the same values give the same
analysis whatever is known of where they came from.

The simplest coding that fits wins: among the codings within CLOSE of the best fit, the one
that says the burst in the fewest bits, counting WIDTH_BITS for each width its timing model
sets and each symbol of its rows (so pulses of one width with the bits in the gaps are PPM, not
PIWM with every other bit the same; and PWM is not PCM four bits a symbol); among those within
SAME_COST of the fewest, the most specific.
"""
import math
from collections import Counter
from dataclasses import dataclass, field

import numpy as np

from . import flex
from .codings import CODINGS, Limits
from .framing import frame

LEAST_FIT = 0.5  # codings that explain less of a burst are not listed
CLOSE = 0.03  # fits this close are equally good: the simpler wins
WIDTH_BITS = 8  # what setting one width costs, in bits
SAME_COST = 0.1  # costs this close (a share) are equally simple: the more specific wins
DECODED_FIT = 0.85  # a burst whose best coding explains less is not given bits
SHORTEST_SAMPLES = 3  # elements shorter than this many output samples are not resolved
LEAST_PULSES = 4  # fewer is no message
LEAST_SEPARATION = 4.0  # the levels this many of their spreads apart, or the slicing errs
NOISE_SNR_DB = 3.0  # a burst no stronger than this, and unsliceable, is noise
PREAMBLE_BITS = 8

# What a burst is.
DECODED = "decoded"
NO_CODING = "no coding fits"
TOO_SHORT = "not resolved"
TOO_WEAK = "too weak to slice"
NOISE = "noise"
CARRIER = "carrier"


@dataclass
class Candidate:
    """A coding that explains the burst: its fit, its symbol rows (strings), and what it costs
    to say the burst with it (bits)."""
    fit: object
    rows: list
    cost: float

    @property
    def name(self):
        return self.fit.coding.name

    @property
    def confidence(self):
        return self.fit.confidence


@dataclass
class Analysis:
    """One burst analysed.

    verdict: what it is (DECODED and the others above); why: the reason in words where it is
    not decoded ("" where it is); framing: its structure (None without pulses); unit_us: its
    shortest element; candidates: the codings that explain it, the chosen first; won: how the
    first won over the second, in words; consensus, disagree: the majority of the chosen
    coding's rows of the commonest length ("?" where they tie) and the positions where rows
    disagree; preamble: a leading run of alternating bits.
    """
    verdict: str
    why: str = ""
    framing: object = None
    unit_us: float = 0.0
    candidates: list = field(default_factory=list)
    won: str = ""
    consensus: str = ""
    disagree: list = field(default_factory=list)
    preamble: str = ""

    @property
    def best(self):
        """The chosen coding, where the burst is decoded."""
        return self.candidates[0] if self.verdict == DECODED and self.candidates else None


def analyse(burst, rate):
    """What one burst is and says, from its values alone.

    Parameters
    ----------
    burst : pulses.Burst
    rate : float
        The envelope's values per second (iqenv's output rate).

    Returns
    -------
    Analysis
    """
    if burst.carrier and len(burst.pulses) < LEAST_PULSES:
        return Analysis(CARRIER, f"a steady level {burst.carrier:.1f} dB above the noise came "
                        "and stayed (a carrier in the channel, or the receiver's gain or noise "
                        "rose); it is the floor from here")
    if not burst.resolved and (burst.separation >= LEAST_SEPARATION
                               or burst.snr_db > NOISE_SNR_DB):
        return Analysis(TOO_SHORT, f"most of what stands out is shorter than the envelope at "
                        f"{rate:g}/s keeps ({burst.glitches} elements dropped as too short, "
                        f"{len(burst.pulses)} pulses kept)")
    if len(burst.pulses) < LEAST_PULSES or (burst.separation < LEAST_SEPARATION
                                            and burst.snr_db <= NOISE_SNR_DB):
        return Analysis(NOISE, f"{len(burst.pulses)} pulses, SNR {burst.snr_db:.1f} dB, "
                        "nothing that stands clear of the noise")
    if burst.separation < LEAST_SEPARATION:
        return Analysis(TOO_WEAK, f"its two levels stand {burst.separation:.1f} spreads of "
                        f"their noise apart (at least {LEAST_SEPARATION:g} give sure bits)")
    return analyse_pulses(burst.pulses, rate)


def analyse_pulses(pulses, rate):
    """The structure, codings, rows and consensus of a burst's pulses.

    Parameters
    ----------
    pulses : list of (float, float)
        (pulse us, gap us) pairs; the last gap is the quiet after the burst.
    rate : float
        The envelope's values per second: elements shorter than SHORTEST_SAMPLES of them are
        not resolved.

    Returns
    -------
    Analysis
        DECODED, TOO_SHORT or NO_CODING.
    """
    framing = frame(pulses)
    shortest_us = SHORTEST_SAMPLES * 1e6 / rate
    if framing.unit_us < shortest_us:
        return Analysis(TOO_SHORT, f"its shortest elements ({framing.unit_us:.0f} "
                        f"us) are shorter than {SHORTEST_SAMPLES} samples ({shortest_us:.0f} us) "
                        f"at {rate:g}/s", framing, framing.unit_us)
    packages = flex.packages(pulses)
    limits = _limits(framing, packages)
    found = []
    for coding in CODINGS:
        fit = coding.fit(framing, limits)
        if fit is None or fit.confidence < LEAST_FIT:
            continue
        bits = [r for package in packages for r in flex.read(fit.spec, package)]
        fit.confidence = coding.confirm(fit, bits)
        if fit.confidence < LEAST_FIT:
            continue
        rows = coding.rows(bits)
        cost = WIDTH_BITS * coding.widths + sum(map(len, rows)) * math.log2(len(coding.symbols))
        found.append(Candidate(fit, rows, cost))
    candidates, won = _ranked(found)
    out = Analysis(DECODED, "", framing, framing.unit_us, candidates, won)
    if not candidates or candidates[0].confidence < DECODED_FIT:
        out.verdict = NO_CODING
        best = f"; the best, {candidates[0].name}, explains {candidates[0].confidence:.0%}" \
            if candidates else ""
        out.why = f"none explains {DECODED_FIT:.0%} of its elements{best}"
        return out
    out.consensus, out.disagree = consensus(candidates[0].rows)
    out.preamble = preamble(out.consensus)
    return out


def _limits(framing, packages):
    """The row gap limit (framing's) and the reset limit: between the longest gap inside a
    package and the shortest gap that would end one."""
    inner = [g for package in packages for _, g in package[:-1]]
    longest = max(inner + [max(p for package in packages for p, _ in package)])
    ending = min(flex.package_end_limit(package) for package in packages)
    gap = framing.row_split_us if np.isfinite(framing.row_split_us) else 0.0
    return Limits(gap, math.sqrt(longest * max(ending, longest)))


def _ranked(found):
    """The candidates in order, and how the first won: the simplest among the best fits first,
    then the rest by fit."""
    if not found:
        return [], ""
    top = max(c.confidence for c in found)
    close = [c for c in found if c.confidence >= top - CLOSE]
    least = min(c.cost for c in close)
    chosen = min((c for c in close if c.cost <= least * (1 + SAME_COST)),
                 key=lambda c: c.fit.coding.rank)
    rest = sorted((c for c in found if c is not chosen), key=lambda c: -c.confidence)
    if not rest:
        return [chosen], ""
    other = rest[0]
    if chosen.confidence >= other.confidence + CLOSE:
        won = (f"fits {100 * (chosen.confidence - other.confidence):.0f} points better than "
               f"{other.name}")
    else:
        won = (f"as good a fit as {other.name} ({100 * other.confidence:.0f} %) and simpler: "
               f"{chosen.cost:.0f} bits to say the burst against {other.cost:.0f}")
    return [chosen] + rest, won


def consensus(rows):
    """Symbol by symbol majority of the rows of the commonest length.

    Parameters
    ----------
    rows : list of str

    Returns
    -------
    (str, list of int)
        The consensus ("?" where the vote ties) and the positions where rows disagree.
    """
    rows = [r for r in rows if r]
    if not rows:
        return "", []
    length = Counter(len(r) for r in rows).most_common(1)[0][0]
    same = [r for r in rows if len(r) == length]
    text, disagree = [], []
    for i in range(length):
        votes = Counter(r[i] for r in same).most_common()
        tie = len(votes) > 1 and votes[0][1] == votes[1][1]
        text.append("?" if tie else votes[0][0])
        if len(votes) > 1:
            disagree.append(i)
    return "".join(text), disagree


def preamble(bits):
    """The leading run of alternating bits, if PREAMBLE_BITS or longer ("" otherwise)."""
    n = 1
    while n < len(bits) and bits[n] != bits[n - 1] and bits[n] in "01":
        n += 1
    return bits[:n] if n >= PREAMBLE_BITS and bits[0] in "01" else ""
