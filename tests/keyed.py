"""Levels through iqenv itself: keyed tones, each switched on and then off, and the step each
makes in the magnitude recovered from iqenv's output."""
import os
import subprocess
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import remote  # noqa: E402
from iqenvconfig.resampler import OUTPUT_RATE  # noqa: E402

SEGMENT = 0.012  # seconds on, then as long off; the resampler rings for about 2 ms per switch


def keyed_tones(samplerate, tones, amplitude=1.0):
    """Silence, then each tone on for one segment and off for the next, in whole blocks."""
    n = int(SEGMENT * samplerate)
    t = np.arange(n) / samplerate
    parts = [np.zeros(n, dtype=np.complex64)]
    for g in tones:
        parts += [(amplitude * np.exp(2j * np.pi * g * t)).astype(np.complex64),
                  np.zeros(n, dtype=np.complex64)]
    iq = np.concatenate(parts)
    return np.concatenate((iq, np.zeros(-len(iq) % 256 + 256 * 4, dtype=np.complex64)))


def measured_levels(iqenv, config, samplerate, tones, amplitude=1.0):
    """Level of each tone at iqenv's output, from the middle of its on and off segments.

    The run starts from silence, so the magnitudes follow from the values exactly: the mean
    grows by e[n] / n at each step.
    """
    iq = keyed_tones(samplerate, tones, amplitude)
    result = subprocess.run([iqenv, str(config)], input=iq.tobytes(), capture_output=True)
    assert result.returncode == 0, result.stderr
    magnitude = remote.magnitude_from_envelope(np.frombuffer(result.stdout, "<f4")) / 1e4
    levels = []
    for i in range(len(tones)):
        on = (1 + 2 * i) * SEGMENT * OUTPUT_RATE
        span = SEGMENT * OUTPUT_RATE
        middle = lambda start: magnitude[int(start + 0.3 * span):int(start + 0.7 * span)]  # noqa
        levels.append(middle(on).mean() - middle(on + span).mean())
    return np.array(levels) / amplitude


def db(x):
    with np.errstate(divide="ignore"):
        return 20 * np.log10(np.abs(x))
