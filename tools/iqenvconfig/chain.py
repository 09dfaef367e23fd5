"""What iqenv does to a tone, from its input to the magnitude it writes.

A complex tone at g hertz passes the taps (gain T(g)); the cosine at f moves it to g - f and
g + f, each with half its amplitude (one product with the whole amplitude when the cosine is +-1
throughout, at f = 0 or fs/2); every stage after the mixer then weights each product by its
response at that frequency, folding it into its own output band. The last stage is libsamplerate
converting to 24000 samples per second; its response is measured, not modelled. iqenv writes the
magnitude of the sum of the products: one product gives a steady level, two beat.
"""
from dataclasses import dataclass
from typing import Callable

import numpy as np

from scipy.signal import freqz, zoom_fft
from scipy.special import ellipe

from . import decimator, resampler
from .units import fold


@dataclass
class Stage:
    """A linear stage after the mixer, from rate_in to rate_out samples per second."""

    name: str
    rate_in: float
    rate_out: float
    magnitude: Callable  # |gain| for a component at nu hertz, -rate_in/2 <= nu < rate_in/2


def resampler_stage(rate_in):
    """The resampler as a Stage for input at `rate_in` samples per second: libsamplerate's
    measured response at iqenv's ratio."""
    measured = resampler.response(rate_in)
    return Stage("resampler", rate_in, rate_in * float(measured.ratio), measured.magnitude)


def decimator_stage(samplerate, factor):
    """The half-band decimator as a stage.

    Parameters
    ----------
    samplerate, factor
        As for decimator.stages.

    Returns
    -------
    Stage
    """
    def magnitude(nu):
        return np.abs(decimator.gain(nu, samplerate, factor))

    return Stage(f"decimation by {factor}", samplerate, samplerate / factor, magnitude)


def stages_after_mixer(samplerate):
    """The stages between the cosine and the output, in order: the resampler, and above the
    rates it takes the decimator ahead of it, the resampler then converting samplerate / D.

    Parameters
    ----------
    samplerate : int
        Input samples per second.

    Returns
    -------
    list of Stage
    """
    factor = resampler.decimation_for(samplerate)
    if factor <= 1:
        return [resampler_stage(samplerate)]
    return [decimator_stage(samplerate, factor), resampler_stage(samplerate / factor)]


def mixer_products(frequency, samplerate):
    """The products of iqenv's cosine at `frequency`.

    Parameters
    ----------
    frequency : float
        Mixer frequency in hertz, rounded to float32 as the file stores it.
    samplerate : int
        Input samples per second.

    Returns
    -------
    list of (float, float)
        (shift in hertz, amplitude factor) per product: a tone at g comes out at g + shift.
    """
    f = fold(np.float32(frequency), samplerate)
    if f == 0:
        return [(0.0, 1.0)]
    if f == -samplerate / 2:  # cos(pi n) = (-1)^n: one product, shifted by half the rate
        return [(samplerate / 2, 1.0)]
    return [(-f, 0.5), (f, 0.5)]


# The taps' response T(g) = sum taps[k] e^(-j 2 pi g k / fs), for y[n] = sum taps[k] x[n-k]: at
# any frequencies, over the whole circle, or over a uniform span; every module takes it from here.

def taps_response(taps, samplerate, g):
    """The taps' complex gain, evaluated exactly at any frequencies.

    Parameters
    ----------
    taps : array_like
        Complex taps, tap 0 weighting the newest input.
    samplerate : float
        Samples per second.
    g : array_like
        Frequencies in hertz.

    Returns
    -------
    numpy.ndarray
        Complex gain T(g), one per frequency (a 1-D array).
    """
    g = np.atleast_1d(np.asarray(g, dtype=np.float64))
    return freqz(np.asarray(taps, dtype=np.complex128), 1, worN=g, fs=samplerate)[1]


def taps_spectrum(taps, samplerate, points):
    """The taps' complex gain at `points` frequencies spread evenly over the whole circle.

    Parameters
    ----------
    taps, samplerate
        As for taps_response.
    points : int
        Number of frequencies, at least the number of taps.

    Returns
    -------
    (numpy.ndarray, numpy.ndarray)
        Frequencies in hertz, ascending from -fs/2, and the complex gain there.
    """
    gain = np.fft.fftshift(np.fft.fft(np.asarray(taps, dtype=np.complex128), points))
    freqs = np.fft.fftshift(np.fft.fftfreq(points, 1.0 / samplerate))
    return freqs, gain


def taps_span(taps, samplerate, lo, count, step):
    """|T| on a uniform grid anywhere on the circle, exactly, by a chirp z-transform.

    Parameters
    ----------
    taps, samplerate
        As for taps_response.
    lo : float
        First frequency, hertz.
    count : int
        Number of frequencies.
    step : float
        Spacing in hertz.

    Returns
    -------
    (numpy.ndarray, numpy.ndarray)
        The frequencies lo, lo + step, ... in hertz, and |T| there.
    """
    g = lo + step * np.arange(count)
    gain = zoom_fft(np.asarray(taps, dtype=np.complex128), [lo, lo + step * count], m=count,
                    fs=samplerate, endpoint=False)
    return g, np.abs(gain)


def beat_level(a, b):
    """Mean of |a + b e^(j theta)| over theta: the level of two beating products a and b.

    Parameters
    ----------
    a, b : array_like
        Amplitudes of the two products.

    Returns
    -------
    numpy.ndarray
        The mean magnitude of their sum, in the same units.
    """
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    total = a + b
    with np.errstate(invalid="ignore", divide="ignore"):
        m = np.where(total > 0, 4 * a * b / (total * total), 0.0)
    return np.where(total > 0, 2 / np.pi * total * ellipe(np.minimum(m, 1.0)), 0.0)


class Chain:
    """iqenv's chain for one configuration: mixer frequency, sample rate and (optionally) taps."""

    def __init__(self, frequency, samplerate, taps=None, stages=None):
        self.samplerate = samplerate
        self.frequency = fold(np.float32(frequency), samplerate)
        self.taps = None if taps is None else np.asarray(taps, dtype=np.complex128)
        self.stages = stages_after_mixer(samplerate) if stages is None else stages
        self.products = mixer_products(frequency, samplerate)

    @property
    def output_rate(self):
        """Samples per second out of the last stage: 24000, give or take the float32 ratio."""
        return self.stages[-1].rate_out

    def after_mixer(self, nu):
        """|gain| of the stages after the mixer for a component at `nu` of the input rate.

        Parameters
        ----------
        nu : array_like
            Frequencies in hertz at the mixer's output, any shape.

        Returns
        -------
        numpy.ndarray
            The gain, of `nu`'s shape.
        """
        nu = np.asarray(nu, dtype=np.float64)
        shape, nu = nu.shape, nu.ravel()  # stages take flat arrays
        gain = np.ones(nu.shape)
        for stage in self.stages:
            nu = fold(nu, stage.rate_in)
            gain = gain * stage.magnitude(nu)
        return gain.reshape(shape)

    def paths(self, g):
        """Per product of the mixer, the gain from the taps' output to iqenv's output.

        Parameters
        ----------
        g : array_like
            Frequencies in hertz at the taps' output.

        Returns
        -------
        numpy.ndarray
            Shape (products, len(g)), each the product's amplitude factor times the stages' gain.
        """
        g = np.atleast_1d(np.asarray(g, dtype=np.float64))
        return np.array([factor * self.after_mixer(g + shift) for shift, factor in self.products])

    def products_at(self, g, taps_gain=None):
        """Per product, the amplitude at iqenv's output of a unit tone at each input frequency.

        Parameters
        ----------
        g : array_like
            Input frequencies in hertz.
        taps_gain : array_like, optional
            |T(g)| when already known; computed from the taps otherwise.

        Returns
        -------
        numpy.ndarray
            Shape (products, len(g)).
        """
        if taps_gain is None:
            if self.taps is None:
                raise ValueError("a chain without taps has no products")
            taps_gain = np.abs(taps_response(self.taps, self.samplerate, g))
        return taps_gain * self.paths(g)

    def level(self, g, taps_gain=None):
        """The steady level (mean magnitude) iqenv gives a unit tone at each input frequency.

        Parameters
        ----------
        g : array_like
            Input frequencies in hertz.
        taps_gain : array_like, optional
            |T(g)| when already known.

        Returns
        -------
        numpy.ndarray
            The level per unit input amplitude, one per frequency.
        """
        products = self.products_at(g, taps_gain)
        if len(products) == 1:
            return products[0]
        return beat_level(products[0], products[1])
