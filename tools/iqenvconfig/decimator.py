"""The decimator iqenv puts ahead of the resampler above the rates it takes: the same rule for
the factor and the same half-band stages as iqenv's src/signal/decimator.cpp."""
from fractions import Fraction

import numpy as np

PROTECTED_BAND = 12500.0  # what folds onto +-this around 0 is at least 100 dB down
MIN_DECIMATED_RATE = 96000.0
MAX_DECIMATION = 1024

# (lowest input rate, weights of the pairs 1, 3, 5, ... samples from the centre), shortest first:
# the maximally flat half-bands, whose centre weight is 1/2.
HALF_BANDS = [
    (14760000, [Fraction(1, 4)]),
    (1002000, [Fraction(9, 32), Fraction(-1, 32)]),
    (415000, [Fraction(150, 512), Fraction(-25, 512), Fraction(3, 512)]),
    (267000, [Fraction(1225, 4096), Fraction(-245, 4096), Fraction(49, 4096),
              Fraction(-5, 4096)]),
    (205000, [Fraction(39690, 131072), Fraction(-8820, 131072), Fraction(2268, 131072),
              Fraction(-405, 131072), Fraction(35, 131072)]),
    (172000, [Fraction(320166, 1048576), Fraction(-76230, 1048576), Fraction(22869, 1048576),
              Fraction(-5445, 1048576), Fraction(847, 1048576), Fraction(-63, 1048576)]),
]


def decimation_factor(samplerate):
    """The largest power of two, 2 to 1024, that leaves at least 96 kHz."""
    factor = 2
    while factor < MAX_DECIMATION and samplerate / (2.0 * factor) >= MIN_DECIMATED_RATE:
        factor *= 2
    return factor


def stages(samplerate, factor):
    """The weights of each stage, first to last: the shortest half-band good at its rate."""
    result, rate = [], float(samplerate)
    while factor > 1:
        weights = next((w for low, w in HALF_BANDS if rate >= low), HALF_BANDS[-1][1])
        result.append(np.array([float(w) for w in weights]))
        factor //= 2
        rate /= 2
    return result


def gain(freqs, samplerate, factor):
    """The cascade's (real) gain at input frequencies in hertz, an array of any shape.

    A stage at rate R gains 1/2 + 2 sum w[k] cos((2k + 1) theta), theta = 2 pi f / R: with
    c = cos(theta) the odd cosines follow by T(n + 2) = 2 T(2) T(n) - T(n - 2), and the next
    stage, at half the rate, has cos(2 theta) = T(2): one cosine per frequency in all.
    """
    freqs = np.asarray(freqs, dtype=np.float64)
    c = np.cos(2 * np.pi * freqs.ravel() / samplerate)
    total = np.ones_like(c)
    for weights in stages(samplerate, factor):
        double = 2 * c * c - 1
        before, odd = c, c  # T(-1) = T(1)
        s = weights[0] * odd
        for w in weights[1:]:
            before, odd = odd, 2 * double * odd - before
            s += w * odd
        total *= 0.5 + 2 * s
        c = double
    return total.reshape(freqs.shape)
