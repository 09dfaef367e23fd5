"""What a configuration's taps cost in CPU time, estimated from figures `make bench` measured."""
from dataclasses import dataclass

from .resampler import decimation_for

# What a tap costs against the rest of a run, from `make bench` (README, quiet run): the floor
# (resampling, input and output alone) took 3.89 s of CPU for 24e6 input samples; the FIR kernel
# ran 8.0e9 complex multiply-adds per second at 256 taps.
FLOOR_SECONDS_PER_SAMPLE = 3.89 / 24e6
FIR_MACS_PER_SECOND = 8.0e9
# Above the resampler's rates, everything but the taps (input, cosine, decimation, resampling
# what is left, output): 0.33 s for 40e6 samples at 20 MS/s, less 8 taps' share.
DECIMATED_SECONDS_PER_SAMPLE = 0.33 / 40e6 - 8 / FIR_MACS_PER_SECOND


@dataclass
class Cost:
    """The estimated CPU time of a run with a configuration."""

    macs: float  # complex multiply-adds per second of input
    decimation: int  # the decimator's factor, 1 where the resampler takes the rate itself
    floor_share: float  # the taps' CPU time as a share of the floor's
    seconds: float  # CPU seconds per second of input with the decimator (None without)
    cpu: float  # the whole run's CPU seconds per second of input, with or without it


def cost(num_taps, samplerate):
    """The taps' cost, against the floor's (resampling, input and output alone) where the
    resampler takes the rate, in seconds per second of input above it (no floor there: the
    resampler alone would refuse the rate).

    Parameters
    ----------
    num_taps : int
        Number of taps.
    samplerate : int
        Input samples per second.

    Returns
    -------
    Cost
    """
    macs = num_taps * samplerate
    share = (macs / FIR_MACS_PER_SECOND) / (samplerate * FLOOR_SECONDS_PER_SAMPLE)
    factor = decimation_for(samplerate)
    seconds = None
    if factor > 1:
        seconds = macs / FIR_MACS_PER_SECOND + samplerate * DECIMATED_SECONDS_PER_SAMPLE
    cpu = seconds if seconds is not None else \
        macs / FIR_MACS_PER_SECOND + samplerate * FLOOR_SECONDS_PER_SAMPLE
    return Cost(macs, factor, share, seconds, cpu)
