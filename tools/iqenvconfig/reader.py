"""The one reader of IQ recordings, for scan, design --recording, plot --recording and pulses.

For a path it finds the samples, their rate and format, and the frequency the receiver was
tuned to. Each of these facts comes from the first of these that gives it:

1. the command line (--samplerate, --format, --tuned);
2. SigMF metadata: the path's own .sigmf-meta, .sigmf-data or .sigmf archive, or a
   .sigmf-meta beside a file that names it as its dataset;
3. a WAV header (I and Q as two channels: 8 or 16-bit, or 32-bit float);
4. the file name (filenames.py: rtl_433's, gqrx's and SDR++'s names, and the extensions).

A later source that says otherwise is reported as a warning, not silently overruled. The
format defaults to cf32; a rate that nothing gives is refused with RateUnknown, which says how
to give one.
"""
import os
import struct
import sys
from collections import namedtuple

from . import filenames, formats, sigmf
from .recording import Recording, RecordingError
from .units import format_rf

WAVE_EXTENSIBLE = 0xFFFE
WAVE_FORMATS = formats.by_wav()
NAME_EXAMPLE = "g001_433.92M_250k.cu8"
# What a WAV header says: format, samples per second, and where the samples lie, in bytes.
WavHeader = namedtuple("WavHeader", "format samplerate offset length")


class RateUnknown(Exception):
    """A recording whose sample rate nothing gives: a usage error, the user must say it."""


def open_recording(path, samplerate=None, fmt=None, frequency=None, warn=None):
    """Opens a recording, its rate, format and tuned frequency taken from where they are given.

    Parameters
    ----------
    path : str
        The recording: raw samples, a WAV file, or SigMF (.sigmf-meta, .sigmf-data, .sigmf).
    samplerate : int or None
        Samples per second given on the command line; it wins over what the file says.
    fmt : str or None
        Sample format given on the command line (formats.FORMATS).
    frequency : float or None
        Tuned frequency given on the command line, in hertz.
    warn : callable or None
        Called with each warning's text (default: "Warning: ..." on standard error).

    Returns
    -------
    recording.Recording
        With `frequency` None where nothing gives it, and `metadata` the SigMF description
        where there is one.

    Raises
    ------
    RateUnknown
        Where neither the command line nor the file gives the sample rate.
    RecordingError, OSError
        For a file that cannot be read, or that says something wrong about itself.
    """
    warn = warn or (lambda text: print(f"Warning: {text}", file=sys.stderr))
    if not os.path.exists(path) and os.path.exists(path + sigmf.META):
        path += sigmf.META  # "capture" for capture.sigmf-meta and capture.sigmf-data
    described = sigmf.describe(path)
    header = None if described else wav_header(path)
    named = filenames.facts(path)
    for note in described.notes if described else []:
        warn(f"{described.meta}: {note}")

    def settle(what, say, candidates):
        given = [(value, source) for value, source in candidates if value is not None]
        if not given:
            return None
        value, source = given[0]
        for other, where in given[1:]:
            if other != value:
                warn(f"{path}: {what} {say(value)} from {source}; {where} says {say(other)}")
        return value

    rate = settle("sample rate", str, [
        (samplerate, "--samplerate"),
        (described and described.samplerate, "its SigMF metadata"),
        (header and header.samplerate, "its WAV header"), (named.samplerate, "its name")])
    form = settle("format", str, [
        (fmt, "--format"), (described and described.format, "its SigMF metadata"),
        (header and header.format, "its WAV header"), (named.format, "its name's extension")])
    tuned = settle("tuned frequency", format_rf, [
        (frequency, "--tuned"), (described and described.frequency, "its SigMF metadata"),
        (named.frequency, "its name")])
    if rate is None:
        doubts = "".join(f"; its name's {d}" for d in named.doubts)
        raise RateUnknown(f"{path}: the sample rate is not known (nothing in the file gives it"
                          f"{doubts}): give it with --samplerate, in SigMF metadata "
                          f"(core:sample_rate), or in the name as rtl_433 writes it "
                          f"({NAME_EXAMPLE})")
    form = form or "cf32"
    if described:
        return Recording(described.data, rate, form, described.offset, described.length,
                         tuned, described)
    offset, length = (header.offset, header.length) if header else (0, None)
    return Recording(path, rate, form, offset, length, tuned)


def wav_header(path):
    """The format, rate and data of an IQ recording in a WAV (or RF64) file.

    Parameters
    ----------
    path : str

    Returns
    -------
    WavHeader or None
        None for a file that is not WAV.

    Raises
    ------
    RecordingError
        For a WAV file that does not hold IQ samples iqenv-config reads.
    """
    try:
        f = open(path, "rb")
    except IsADirectoryError:
        return None
    with f:
        head = f.read(12)
        if len(head) < 12 or head[:4] not in (b"RIFF", b"RF64") or head[8:12] != b"WAVE":
            return None
        size, found, long_size = os.fstat(f.fileno()).st_size, None, None
        while True:
            chunk = f.read(8)
            if len(chunk) < 8:
                raise RecordingError(path, "WAV: no 'data' chunk")
            name, length = chunk[:4], struct.unpack("<I", chunk[4:])[0]
            if name == b"data":
                if found is None:
                    raise RecordingError(path, "WAV: no 'fmt ' chunk before the data")
                if length == 0xFFFFFFFF and long_size is not None:
                    length = long_size
                # A recorder that stopped before writing the sizes leaves 0 or too much.
                if length == 0 or f.tell() + length > size:
                    length = size - f.tell()
                return WavHeader(*found, f.tell(), length)
            body = f.read(length + (length & 1))
            if name == b"fmt ":
                found = _wave_format(path, body)
            elif name == b"ds64" and len(body) >= 16:
                long_size = struct.unpack_from("<Q", body, 8)[0]


def _wave_format(path, body):
    if len(body) < 16:
        raise RecordingError(path, "WAV: a 'fmt ' chunk too short")
    tag, channels, rate, _, _, bits = struct.unpack_from("<HHIIHH", body)
    if tag == WAVE_EXTENSIBLE and len(body) >= 26:
        tag = struct.unpack_from("<H", body, 24)[0]  # the sub-format's first two bytes
    if channels != 2:
        raise RecordingError(path, f"WAV: {channels} channel(s); an IQ recording has 2 (I, Q)")
    fmt = WAVE_FORMATS.get((tag, bits))
    if fmt is None:
        raise RecordingError(path, f"WAV: {bits}-bit samples of format {tag} are not read "
                             f"({_wave_formats_read()})")
    if rate == 0:
        raise RecordingError(path, "WAV: a sample rate of 0")
    return fmt, rate


def _wave_formats_read():
    """"8 or 16-bit integers, 32-bit float": the WAV samples that FORMATS reads."""
    def bits(tag):
        return " or ".join(str(b) for t, b in sorted(WAVE_FORMATS) if t == tag)

    kinds = [(formats.WAVE_PCM, "integers"), (formats.WAVE_FLOAT, "float")]
    return ", ".join(f"{bits(tag)}-bit {what}" for tag, what in kinds if bits(tag))
