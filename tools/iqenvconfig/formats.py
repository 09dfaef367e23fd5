"""The sample formats of IQ recordings: the one table that the reader, the file names, SigMF,
WAV headers, the command line and the tests' signal generator all read.

A recording is interleaved pairs (I, Q) of one component type. A component's value v means
(v - zero) / full_scale in full-scale units (1.0 full scale). Adding a format is adding a row
here; every reader and writer takes it from FORMATS.
"""
from dataclasses import dataclass

import numpy as np

WAVE_PCM, WAVE_FLOAT = 1, 3  # a WAV header's format tags


@dataclass(frozen=True)
class Format:
    """One sample format.

    Attributes
    ----------
    name : str
        Its name on the command line and in messages ("cu8").
    component : numpy.dtype
        The type of one component, I or Q, as stored (byte order included).
    zero : float
        The component value that means 0.
    full_scale : float
        How far from `zero` a component is at 1.0 full scale.
    datatypes : tuple of str
        Its SigMF "core:datatype" names; the first is the one written.
    extensions : tuple of str
        File name extensions that say it (lower case, without the dot).
    wav : tuple or None
        (format tag, bits per component) of a WAV header that holds it; None: none does.
    description : str
        What it is, for --help ("unsigned 8-bit").
    """

    name: str
    component: np.dtype
    zero: float
    full_scale: float
    datatypes: tuple
    extensions: tuple
    wav: tuple
    description: str

    @property
    def scale(self):
        """Full-scale units per step of a component."""
        return 1 / self.full_scale

    @property
    def sample_bytes(self):
        """Bytes of one sample, I and Q."""
        return 2 * self.component.itemsize

    @property
    def floating(self):
        """Whether the components are floating point."""
        return self.component.kind == "f"


# In the order --format lists them.
FORMATS = {f.name: f for f in (
    Format("cf32", np.dtype("<f4"), 0.0, 1.0, ("cf32_le",), ("cf32", "cfile"),
           (WAVE_FLOAT, 32), "complex float32"),
    Format("cu8", np.dtype("u1"), 127.5, 127.5, ("cu8",), ("cu8", "complex16u"),
           (WAVE_PCM, 8), "unsigned 8-bit"),
    Format("cs8", np.dtype("i1"), 0.0, 128.0, ("ci8",), ("cs8", "complex16s"), None,
           "signed 8-bit"),
    Format("cs16", np.dtype("<i2"), 0.0, 32768.0, ("ci16_le",), ("cs16",), (WAVE_PCM, 16),
           "signed 16-bit"),
)}


def by_datatype():
    """{SigMF datatype: format name}, the smaller samples first."""
    ordered = sorted(FORMATS.values(), key=lambda f: f.sample_bytes)
    return {d: f.name for f in ordered for d in f.datatypes}


def by_extension():
    """{file name extension: format name}."""
    return {e: f.name for f in FORMATS.values() for e in f.extensions}


def by_wav():
    """{(WAV format tag, bits per component): format name}."""
    return {f.wav: f.name for f in FORMATS.values() if f.wav}


def described(names=None):
    """The formats' descriptions in one phrase, a word shared by neighbours said once:
    "complex float32, unsigned, signed 8-bit, signed 16-bit".

    Parameters
    ----------
    names : iterable of str, optional
        The formats, in order (default: all of FORMATS).

    Returns
    -------
    str
    """
    words = [FORMATS[n].description.split() for n in (names or FORMATS)]
    parts = [" ".join(w[:-1] if i + 1 < len(words) and words[i + 1][-1] == w[-1] else w)
             for i, w in enumerate(words)]
    return ", ".join(parts)
