"""Short-time power spectra of a recording read a chunk at a time: the frame sizes for a rate
and length, the frames themselves, and their spectra. Shared by scan and its picture."""
import math
from dataclasses import dataclass

import numpy as np
import scipy.fft

from .recording import RecordingError

FRAME_SECONDS = 300e-6
FINE_SECONDS = 16e-3
MAX_FINE = 1 << 17
MIN_FRAMES = 64


def pow2_at_most(x):
    """The largest power of two not above `x` (1 for anything below 2)."""
    return 1 << max(int(math.floor(math.log2(max(x, 1)))), 0)


@dataclass
class Plan:
    """Frame sizes for one sample rate and recording length."""

    samplerate: int
    frame: int  # samples per coarse frame
    fine: int  # samples per fine window
    chunk: int  # samples read at a time, a multiple of `fine`

    @property
    def hop(self):
        """Samples from one frame's start to the next: half a frame."""
        return self.frame // 2

    def frame_centre_seconds(self, index):
        """Seconds from the recording's start to the centre of frame `index` (int or array)."""
        return (index * self.hop + self.frame / 2) / self.samplerate

    def bin_hz(self, k):
        """Frequency in hertz of coarse bin `k` (int, float or array), counted from the lowest,
        at -fs/2."""
        return (k - self.frame // 2) * self.samplerate / self.frame


def plan_for(samplerate, samples, path=""):
    """The frame sizes for a recording.

    Parameters
    ----------
    samplerate : int
        The recording's samples per second.
    samples : int
        Its length in samples.
    path : str
        Its name, for the error.

    Returns
    -------
    Plan

    Raises
    ------
    RecordingError
        When the recording is too short to analyse.
    """
    frame = max(pow2_at_most(samplerate * FRAME_SECONDS), 16)
    hop = frame // 2
    frames = (samples - frame) // hop + 1 if samples >= frame else 0
    if frames < MIN_FRAMES:
        need = (MIN_FRAMES - 1) * hop + frame
        raise RecordingError(path, f"too short to analyse ({samples} samples; at least {need} "
                                   "at this sample rate)")
    fine = min(max(pow2_at_most(samplerate * FINE_SECONDS), frame), MAX_FINE,
               pow2_at_most(samples))
    chunk = max(1 << 18, 128 * hop, fine)
    return Plan(samplerate, frame, fine, chunk)


class Framer:
    """Frames of `length` samples every `hop` samples from a stream that arrives in chunks."""

    def __init__(self, length, hop):
        self.length, self.hop = length, hop
        self.tail = None
        self.next_index = 0

    def push(self, samples):
        """The frames that the samples so far complete.

        Parameters
        ----------
        samples : numpy.ndarray
            The stream's next samples.

        Returns
        -------
        (int, numpy.ndarray)
            Index of the first new frame in the stream, and the new frames, one per row (views
            of the data, valid until the next push).
        """
        data = samples if self.tail is None else np.concatenate((self.tail, samples))
        n = (len(data) - self.length) // self.hop + 1 if len(data) >= self.length else 0
        frames = np.lib.stride_tricks.sliding_window_view(data, self.length)[::self.hop][:n]
        self.tail = data[n * self.hop:].copy()
        first = self.next_index
        self.next_index += n
        return first, frames


def power_spectra(frames, window):
    """Power of each frame's spectrum, bins from -fs/2 up, scaled so a frame's bins sum to its
    mean power (a tone of amplitude A gives A**2, white noise sigma**2 / len per bin).

    Parameters
    ----------
    frames : numpy.ndarray
        complex64 frames, one per row.
    window : numpy.ndarray
        float32 weights, one per sample of a frame (see frame_window).

    Returns
    -------
    numpy.ndarray
        Power per frame and bin, in the recording's units squared.
    """
    # Less the frame's DC offset, weighted as the window weights it: a plain mean would carry a
    # strong tone's share of it into the bins beside 0 Hz.
    x = frames * window
    x -= x.sum(axis=1, keepdims=True) * (window / np.sum(window))
    spectrum = scipy.fft.fft(x, axis=1, overwrite_x=True)
    power = spectrum.real ** 2 + spectrum.imag ** 2
    power *= 1.0 / (frames.shape[1] * float(np.sum(window.astype(np.float64) ** 2)))
    return np.fft.fftshift(power, axes=1)


def frame_window(length):
    """The Hann window the frames are weighted by, without its zero end points.

    Parameters
    ----------
    length : int
        Samples per frame.

    Returns
    -------
    numpy.ndarray
        float32 weights.
    """
    return np.hanning(length + 2)[1:-1].astype(np.float32)
