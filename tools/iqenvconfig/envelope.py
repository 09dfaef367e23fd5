"""The magnitudes under iqenv's values, recovered exactly, a chunk at a time.

iqenv writes v = (m - mean) * gain, the magnitude m less the running mean of every magnitude
so far, the current one included. With M_n the mean after n magnitudes,
v_n / gain = (m_n - M_(n-1)) (n - 1) / n and M_n = M_(n-1) + v_n / (gain (n - 1)), so the
magnitudes come back exactly, up to the first one, which is unknown and taken as 0: every
magnitude is then off by the same constant, which no level of the analysis depends on. A frame
whose magnitude was not finite comes out as 0 and iqenv leaves it out of the mean; here it
counts like any other, since a 0 cannot be told from silence (a run that starts with digital
zeros writes 0s that do count). Each such frame puts the count one ahead, which moves later
magnitudes by less than one part in the count.

The running mean is accumulated value by value, in order, so the magnitudes are the same to
the last bit however the values are cut into chunks.
"""
import numpy as np

from . import facts


class EnvelopeRecovery:
    """Magnitudes from iqenv's values, a chunk at a time (up to one constant; see above).

    Parameters
    ----------
    gain : float, optional
        iqenv's factor on its values; by default iqenv's own.
    """

    def __init__(self, gain=None):
        self.gain = facts.output_gain() if gain is None else gain
        self.count = 0
        self.mean = 0.0

    def magnitudes(self, values):
        """Magnitudes (input units, offset by the first one's) of the next `values`.

        Parameters
        ----------
        values : array of float32
            iqenv's output values, in order.

        Returns
        -------
        array of float64
            One magnitude per value.
        """
        u = np.asarray(values, dtype=np.float64) / self.gain
        if not len(u):
            return u
        n = self.count + np.arange(1, len(u) + 1)
        steps = np.zeros(len(u) + 1)
        steps[0] = self.mean
        later = n > 1
        steps[1:][later] = u[later] / (n[later] - 1)
        # One running sum from the mean so far: the same additions in the same order whatever
        # the chunks.
        means = np.cumsum(steps)[1:]
        self.count, self.mean = int(n[-1]), float(means[-1])
        return means + u


def smooth(x, span):
    """Moving average over `span` samples; element k stands for time k + (span - 1) / 2.

    Parameters
    ----------
    x : array of float
        Magnitudes, one per output sample.
    span : int
        Samples averaged.

    Returns
    -------
    array of float64
        len(x) - span + 1 averages.
    """
    if span <= 1:
        return np.asarray(x, dtype=np.float64)
    c = np.concatenate(([0.0], np.cumsum(x)))
    return (c[span:] - c[:-span]) / span
