"""The configuration file as iqenv reads it: layout, reader, report and checks, same texts.

iqenv's messages are reproduced here word for word; a test runs both programs on the same
malformed files so that the two cannot drift apart.
"""
import math
import struct
from dataclasses import dataclass, field

import numpy as np

from . import resampler

HEADER = struct.Struct("<fII")
TAP_BYTES = 8
_CHUNK_TAPS = 1 << 16


class ConfigError(Exception):
    """A file iqenv would refuse; str() is iqenv's text without the "Error: " prefix."""


@dataclass
class FilterConfig:
    frequency: np.float32 = np.float32(0.0)
    samplerate: int = 0
    num_taps: int = 0  # as declared by the file
    taps: np.ndarray = field(default_factory=lambda: np.zeros(0, dtype=np.complex64))
    trailing_bytes: int = 0  # ignored by iqenv, counted for the user


def read_config(path):
    """Reads a configuration file as iqenv does; raises ConfigError with iqenv's message."""
    try:
        f = open(path, "rb")
    except OSError:
        raise ConfigError(f"Cannot open config file: {path}") from None
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
    fields = (
        ("'frequency'", "<f"),
        ("'samplerate'", "<I"),
        ("the number of taps", "<I"),
    )
    values = []
    for name, fmt in fields:
        data = _read_exactly(f, 4)
        if len(data) < 4:
            raise ConfigError(f"Failed to read {name} (need 4 bytes)")
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
            raise ConfigError(f"Failed to read complex sample[{have}] (file truncated?)")
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
    """Writes float32 frequency, uint32 rate, uint32 count (default: the taps'), then the taps."""
    taps = np.asarray(taps, dtype="<c8")
    count = len(taps) if declared is None else declared
    with open(path, "wb") as f:
        f.write(HEADER.pack(frequency, samplerate, count))
        f.write(taps.tobytes())


def format_double(value):
    """A double as C++ streams print it by default: %g, precision 6, glibc's "-nan"."""
    if math.isnan(value):
        return "-nan" if math.copysign(1.0, value) < 0 else "nan"
    return "%g" % value


def report_lines(config):
    """The four-line report iqenv prints before it checks anything."""
    return [
        "=== Filter Configuration ===",
        "  Frequency : " + format_double(float(config.frequency) / 1000000.0) + " MHz",
        f"  Samplerate  : {config.samplerate}",
        f"  Number of complex filter taps : {config.num_taps}",
    ]


def check_config(config):
    """iqenv's checks after the report, in its order; raises ConfigError with its message."""
    if len(config.taps) == 0:
        raise ConfigError("The filter has no taps")
    if not resampler.is_supported_samplerate(config.samplerate):
        lo, hi = resampler.supported_samplerates()
        raise ConfigError(
            f"Samplerate {config.samplerate} is not supported "
            f"(the resampler accepts {lo} to {hi} samples per second)"
        )
    if not np.isfinite(config.frequency):
        raise ConfigError("Frequency is not a finite number")
    bad = ~(np.isfinite(config.taps.real) & np.isfinite(config.taps.imag))
    if bad.any():
        raise ConfigError(f"Filter tap[{int(np.argmax(bad))}] is not a finite number")
