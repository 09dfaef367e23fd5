"""The configuration file as iqenv reads it: layout, reader, report and checks, with iqenv's
own messages and report (their templates come from iqenv's build, through facts.py)."""
import math
import struct
from dataclasses import dataclass, field

import numpy as np

from . import facts, resampler

HEADER = struct.Struct("<fII")
TAP_BYTES = 8
_CHUNK_TAPS = 1 << 16


class ConfigError(Exception):
    """A file iqenv would refuse; str() is iqenv's text without the "Error: " prefix."""


def _refusal(name, **values):
    """ConfigError with iqenv's message `name`, its {fields} filled from `values`."""
    return ConfigError(facts.get()["messages"][name].format(**values))


@dataclass
class FilterConfig:
    frequency: np.float32 = np.float32(0.0)
    samplerate: int = 0
    num_taps: int = 0  # as declared by the file
    taps: np.ndarray = field(default_factory=lambda: np.zeros(0, dtype=np.complex64))
    trailing_bytes: int = 0  # ignored by iqenv, counted for the user


def read_config(path):
    """Reads a configuration file as iqenv does.

    Parameters
    ----------
    path : str
        The file.

    Returns
    -------
    FilterConfig

    Raises
    ------
    ConfigError
        With iqenv's message, for a file iqenv cannot open or read whole.
    """
    try:
        f = open(path, "rb")
    except OSError:
        raise _refusal("cannot_open", path=path) from None
    with f:
        return _read_stream(f)


def _read_exactly(f, size):
    data = b""
    try:
        while len(data) < size:
            chunk = f.read(size - len(data))
            if not chunk:
                break
            data += chunk
    except OSError:
        pass
    return data


def _read_stream(f):
    config = FilterConfig()
    fields = (("short_frequency", "<f"), ("short_samplerate", "<I"), ("short_count", "<I"))
    values = []
    for name, fmt in fields:
        data = _read_exactly(f, 4)
        if len(data) < 4:
            raise _refusal(name)
        values.append(struct.unpack(fmt, data)[0])
    config.frequency = np.float32(values[0])
    config.samplerate, count = values[1], values[2]

    # Read the taps in chunks, never allocating for the declared count: a file may declare
    # billions of taps and hold a few.
    chunks, have = [], 0
    while have < count:
        want = min(count - have, _CHUNK_TAPS) * TAP_BYTES
        data = _read_exactly(f, want)
        chunks.append(data[: len(data) // TAP_BYTES * TAP_BYTES])
        have += len(data) // TAP_BYTES
        if len(data) < want:
            raise _refusal("short_tap", index=have)
    config.taps = np.frombuffer(b"".join(chunks), dtype="<c8").astype(np.complex64)
    config.num_taps = count
    config.trailing_bytes = len(_read_rest(f))
    return config


def _read_rest(f):
    try:
        return f.read()
    except OSError:
        return b""


def write_config(path, frequency, samplerate, taps, declared=None):
    """Writes a configuration file: float32 frequency, uint32 rate, uint32 count, the taps.

    Parameters
    ----------
    path : str
        The file to write.
    frequency : float
        Mixer frequency, hertz (stored as float32).
    samplerate : int
        Input samples per second.
    taps : array_like
        Complex taps (stored as complex float32).
    declared : int, optional
        The count to write; the number of taps by default.
    """
    taps = np.asarray(taps, dtype="<c8")
    count = len(taps) if declared is None else declared
    with open(path, "wb") as f:
        f.write(HEADER.pack(frequency, samplerate, count))
        f.write(taps.tobytes())


def format_double(value):
    """A double as C++ streams print it by default: %g, precision 6, glibc's "-nan" (a str)."""
    if math.isnan(value):
        return "-nan" if math.copysign(1.0, value) < 0 else "nan"
    return "%g" % value


def report_lines(config):
    """The four-line report iqenv prints before it checks anything.

    Parameters
    ----------
    config : FilterConfig
        As read.

    Returns
    -------
    list of str
        The lines, without their line ends.
    """
    return facts.get()["report"].format(
        frequency_mhz=format_double(float(config.frequency) / 1000000.0),
        samplerate=config.samplerate, num_taps=config.num_taps).splitlines()


def check_samplerate(samplerate):
    """iqenv's check of the sample rate: the one place any command checks a rate to be run.

    Parameters
    ----------
    samplerate : int
        Input samples per second.

    Raises
    ------
    ConfigError
        With iqenv's message, for a rate iqenv refuses.
    """
    if not resampler.is_supported_samplerate(samplerate):
        lo, hi = resampler.supported_samplerates()
        raise _refusal("samplerate", samplerate=samplerate, lowest=lo, highest=hi)


def check_config(config):
    """iqenv's checks after the report, in its order.

    Parameters
    ----------
    config : FilterConfig
        As read.

    Raises
    ------
    ConfigError
        With iqenv's message, for a configuration iqenv refuses.
    """
    if len(config.taps) == 0:
        raise _refusal("no_taps")
    check_samplerate(config.samplerate)
    if not np.isfinite(config.frequency):
        raise _refusal("frequency")
    bad = ~(np.isfinite(config.taps.real) & np.isfinite(config.taps.imag))
    if bad.any():
        raise _refusal("tap", index=int(np.argmax(bad)))
