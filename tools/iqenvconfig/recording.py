"""IQ recordings as receivers write them, read a chunk at a time as complex64."""
import os
import stat

import numpy as np

from . import samplecheck
from .formats import FORMATS


class RecordingError(OSError):
    """A recording that cannot be analysed: a file problem, reported as "PATH: MESSAGE"."""

    def __init__(self, path, message):
        super().__init__(None, message, path)


class Recording:
    """The samples of an IQ recording.

    Parameters
    ----------
    path : str
        The file that holds the samples (for a SigMF archive, the archive).
    samplerate : int
        Samples per second.
    fmt : str
        One of FORMATS.
    offset : int
        Bytes before the first sample (a WAV header, an archive's member).
    length : int or None
        Bytes of samples from `offset`; None: to the end of the file.
    frequency : float or None
        The frequency the receiver was tuned to, in hertz, where known.
    metadata : sigmf.Description or None
        The SigMF metadata that describes the recording, where there is one.

    Attributes
    ----------
    progress : callable or None
        Called as progress(read, samples) after each chunk that chunks() reads, with the
        samples read so far in that pass and the recording's samples; None (the default) for
        nothing. Long work sets it to show how far it is.

    Raises
    ------
    RecordingError
        For a file that is not a regular file, or whose bytes cannot be IQ samples in `fmt`
        (text, or samples of another format: see samplecheck).
    """

    def __init__(self, path, samplerate, fmt, offset=0, length=None, frequency=None,
                 metadata=None):
        self.path, self.samplerate, self.format = path, samplerate, fmt
        self.offset, self.frequency, self.metadata = offset, frequency, metadata
        self.progress = None
        self.kind = FORMATS[fmt]
        self.component, self._zero, self._scale = self.kind.component, self.kind.zero, \
            self.kind.scale
        # Opened now, so that a missing or unreadable file fails before any work.
        with open(path, "rb") as f:
            info = os.fstat(f.fileno())
        if not stat.S_ISREG(info.st_mode):
            # The analysis reads the file more than once.
            raise RecordingError(path, "not a regular file")
        available = max(info.st_size - offset, 0)
        length = available if length is None else min(length, available)
        # A partial last sample is ignored.
        self.samples = length // (2 * self.component.itemsize)
        why = samplecheck.refusal(samplecheck.blocks_of(
            path, offset, self.samples * self.kind.sample_bytes), fmt)
        if why:
            raise RecordingError(path, why)

    @property
    def seconds(self):
        """The recording's length in seconds."""
        return self.samples / self.samplerate

    def chunks(self, size, clipping=False):
        """The samples from the start, a chunk at a time.

        Parameters
        ----------
        size : int
            Samples per chunk (the last may be shorter).
        clipping : bool
            Whether to yield, with each chunk, which of its samples have a part at the
            format's limit.

        Yields
        ------
        numpy.ndarray or (numpy.ndarray, numpy.ndarray)
            complex64 samples in full-scale units; with `clipping`, and a bool per sample.
        """
        with open(self.path, "rb") as f:
            f.seek(self.offset)
            left = self.samples
            while left > 0:
                n = min(size, left)
                raw = np.fromfile(f, dtype=self.component, count=2 * n)
                if len(raw) < 2 * n:
                    raise RecordingError(self.path, "the file became shorter while it was read")
                left -= n
                if self.progress:
                    self.progress(self.samples - left, self.samples)
                yield (self._complex(raw), self._clipped(raw)) if clipping else self._complex(raw)

    def _clipped(self, raw):
        if self.kind.floating:
            return np.zeros(len(raw) // 2, dtype=bool)
        info = np.iinfo(self.component)
        at_limit = (raw == info.min) | (raw == info.max)
        return at_limit[0::2] | at_limit[1::2]

    def _complex(self, raw):
        values = raw.astype(np.float32)
        if self.kind.floating:
            # A non-finite sample would spread over every spectrum it enters, and one of a size
            # no recording holds would overflow them.
            np.nan_to_num(values, copy=False, nan=0.0, posinf=0.0, neginf=0.0)
            values[np.abs(values) > samplecheck.FLOAT_LIMIT] = 0.0
        else:
            values -= self._zero
            values *= self._scale
        return values.view(np.complex64)
