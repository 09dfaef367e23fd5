"""The decimator iqenv puts ahead of the resampler above the rates it takes: its half-band
stages, from iqenv's own table (facts.py), and their response."""
import numpy as np

from . import facts


def stages(samplerate, factor):
    """The weights of each stage, first to last: the shortest half-band good at its rate, as
    iqenv chooses them.

    Parameters
    ----------
    samplerate : float
        Input samples per second.
    factor : int
        The decimation, a power of two.

    Returns
    -------
    list of numpy.ndarray
        Per stage, the weights of the pairs 1, 3, 5, ... samples from the centre (whose own
        weight is 1/2).
    """
    half_bands = facts.get()["decimator"]["half_bands"]
    result, rate = [], float(samplerate)
    while factor > 1:
        band = next((b for b in half_bands if rate >= b["min_rate"]), half_bands[-1])
        result.append(np.array(band["weights"], dtype=np.float64))
        factor //= 2
        rate /= 2
    return result


def gain(freqs, samplerate, factor):
    """The cascade's (real) gain at input frequencies.

    A stage at rate R gains 1/2 + 2 sum w[k] cos((2k + 1) theta), theta = 2 pi f / R: with
    c = cos(theta) the odd cosines follow by T(n + 2) = 2 T(2) T(n) - T(n - 2), and the next
    stage, at half the rate, has cos(2 theta) = T(2): one cosine per frequency in all.

    Parameters
    ----------
    freqs : array_like
        Input frequencies in hertz, any shape.
    samplerate, factor
        As for stages.

    Returns
    -------
    numpy.ndarray
        The gain, of `freqs`'s shape.
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
