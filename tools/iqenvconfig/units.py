"""Units and frequency arithmetic that every other module of the package shares.

This module imports nothing from the package: it sits at the bottom of every import arrow.
"""
import numpy as np


def fold(frequency, samplerate):
    """The frequency within [-fs/2, fs/2) that a tone, a cosine or a tap shift at `frequency` is
    the same as at this sample rate (sampling cannot tell them apart).

    Parameters
    ----------
    frequency : float or array_like
        Frequency in hertz, any value.
    samplerate : float
        Samples per second.

    Returns
    -------
    float or numpy.ndarray
        The folded frequency in hertz, in float64: a float for a scalar `frequency`, an array
        of its shape otherwise.
    """
    folded = (np.asarray(frequency, dtype=np.float64) + samplerate / 2) % samplerate \
        - samplerate / 2
    return float(folded) if np.ndim(folded) == 0 else folded


def format_hz(hz):
    """A frequency for people to read: six significant digits in Hz, kHz or MHz.

    Parameters
    ----------
    hz : float
        Frequency in hertz.

    Returns
    -------
    str
        For example "433.92 MHz", "-12.5 kHz", "3 Hz"; rounded before the unit is chosen, so
        that 999999.7 reads "1 MHz", not "1000 kHz".
    """
    hz = float("%.6g" % hz)
    a = abs(hz)
    if a >= 1e6:
        return "%.6g MHz" % (hz / 1e6)
    if a >= 1e3:
        return "%.6g kHz" % (hz / 1e3)
    return "%.6g Hz" % hz


def signed_hz(hz):
    """format_hz with a "+" before a frequency above 0, as offsets are written (a str)."""
    return ("+" if hz > 0 else "") + format_hz(hz)


def format_rf(hz):
    """A radio frequency for people to read, to 100 Hz, as scan measures offsets.

    Parameters
    ----------
    hz : float
        Frequency in hertz.

    Returns
    -------
    str
        For example "433.9236 MHz", "868 MHz"; below 1 MHz as format_hz gives it.
    """
    if abs(hz) < 1e6:
        return format_hz(hz)
    return f"{hz / 1e6:.4f}".rstrip("0").rstrip(".") + " MHz"


def plain_hz(hz):
    """A frequency in hertz as messages give it, "4.3392e+08 Hz" for 433.92 MHz: a plain number
    with six significant digits, so that scripts can read it back (a str)."""
    return f"{float(hz):.6g} Hz"


def to_db(gain):
    """Amplitude gain in decibels.

    Parameters
    ----------
    gain : array_like
        Amplitude gains (complex gains are taken by their magnitude).

    Returns
    -------
    numpy.ndarray
        20 log10 |gain|; -inf where the gain is 0.
    """
    with np.errstate(divide="ignore"):
        return 20 * np.log10(np.abs(gain))
