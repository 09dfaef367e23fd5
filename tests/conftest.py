"""What the suites that run the built programs share: where the programs are, how to run them,
and the files and streams they are fed."""
import json
import os
import struct
import subprocess
import sys
import tempfile
import threading

import numpy as np

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path.insert(0, os.path.join(ROOT, "tools"))
import iqsignals  # noqa: E402
from iqenvconfig.envelope import EnvelopeRecovery  # noqa: E402

# ctest passes the paths in; the defaults serve a plain `pytest tests` after `make build`.
BUILD = os.path.abspath(os.environ.get("IQENV_BUILD_DIR", os.path.join(ROOT, "build")))
IQENV = os.path.abspath(os.environ.get("IQENV", os.path.join(BUILD, "iqenv")))
TOOL = os.path.abspath(os.environ.get("IQENV_CONFIG",
                                      os.path.join(BUILD, "tools", "iqenv-config")))
# What iqenv-config's package knows of iqenv, written by iqenv's build.
os.environ.setdefault("IQENV_FACTS", os.path.join(BUILD, "tools", "iqenv-facts.json"))
BLOCK = 2048  # bytes of input per block
# Real recordings of sensors and remotes (cu8 at 250 kS/s), beside the tree where there are any.
CORPUS = next((c for c in (os.path.join(ROOT, "..", *up, "shared", "corpus")
                           for up in ([], [".."])) if os.path.isdir(c)), None)
CORPUS_RATE = 250000
ONE_TAP = struct.pack("<ff", 1, 0)


def run(command, stdin=subprocess.DEVNULL, **kwargs):
    """Runs a command to its end; `stdin` is bytes to feed or anything subprocess takes."""
    feed = {"input": stdin} if isinstance(stdin, bytes) else {"stdin": stdin}
    pipes = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE}
    return subprocess.run(command, timeout=120, **feed, **{**pipes, **kwargs})


def config_bytes(frequency=1e5, rate=2400000, count=None, taps=ONE_TAP):
    """A configuration file's bytes; the count defaults to the taps given."""
    count = len(taps) // 8 if count is None else count
    return struct.pack("<fII", frequency, rate, count) + taps


def config(folder, frequency=0.0, rate=24000, taps=(1,)):
    """A configuration file; by default ratio 1 and one unit tap: one value per sample in."""
    path = os.path.join(folder, "c.cfg")
    iqsignals.write_config(path, frequency, rate, taps)
    return path


def carrier(blocks):
    """Whole blocks of a slowly varying carrier, as cf32 bytes."""
    n = np.arange(blocks * 256)
    return (0.5 + 0.15 * np.sin(n / 50.0)).astype(np.complex64).tobytes()


def values(stdout):
    """iqenv's output as float32 values; only whole values may ever be written."""
    assert len(stdout) % 4 == 0
    return np.frombuffer(stdout, dtype="<f4")


def with_one_block(command, **kwargs):
    """Runs a command on a pipe holding one block; returns the result and the bytes left."""
    rd, wr = os.pipe()
    os.write(wr, b"\0" * BLOCK)
    os.close(wr)
    try:
        result = run(command, stdin=rd, **kwargs)
        return result, len(os.read(rd, 2 * BLOCK))
    finally:
        os.close(rd)


def serve_fifo(folder, content, piece=5):
    """A new FIFO that serves `content` once, in small pieces; returns its path and writer."""
    path = tempfile.mktemp(suffix=".fifo", dir=folder)
    os.mkfifo(path)

    def serve():
        with open(path, "wb") as f:
            for at in range(0, len(content), piece):
                f.write(content[at:at + piece])
                f.flush()

    writer = threading.Thread(target=serve, daemon=True)
    writer.start()
    return path, writer


# iqenv-config design, for the suites that check what it writes.

def design(folder, samplerate, *args):
    """Designs into `folder`; returns the file and what design printed."""
    path = folder / "cfg.bin"
    result = run([TOOL, "design", "-o", str(path), "--samplerate", str(samplerate),
                  *map(str, args)], text=True)
    assert result.returncode == 0, result.stderr
    return path, result.stdout


def iqenv_report(path):
    """iqenv on `path` with no input: its status, and its report and messages without the
    ratio and decimation lines."""
    result = run([IQENV, str(path)], text=True)
    lines = [line for line in result.stderr.splitlines()
             if not line.startswith(("Resampling", "Decimation"))]
    return result.returncode, lines


def json_lines(text):
    """What --json printed: one JSON object a line."""
    return [json.loads(line) for line in text.splitlines()]


def hertz(text):
    value, unit = text.split()
    return float(value) * {"Hz": 1, "kHz": 1e3, "MHz": 1e6}[unit]


def taps_of(path):
    """The taps as the file holds them, read without the tool's code."""
    data = path.read_bytes()
    count = struct.unpack_from("<I", data, 8)[0]
    return np.frombuffer(data, dtype="<c8", count=count, offset=12)


# Levels through iqenv itself: keyed tones, each switched on and then off, and the step each
# makes in the magnitude recovered from iqenv's output.

SEGMENT = 0.012  # seconds on, then as long off; the resampler rings for about 2 ms per switch


def keyed_tones(samplerate, tones):
    """Silence, then each tone on for one segment and off for the next, in whole blocks."""
    n = int(SEGMENT * samplerate)
    t = np.arange(n) / samplerate
    parts = [np.zeros(n, dtype=np.complex64)]
    for g in tones:
        parts += [np.exp(2j * np.pi * g * t).astype(np.complex64), np.zeros(n, np.complex64)]
    iq = np.concatenate(parts)
    return np.concatenate((iq, np.zeros(-len(iq) % 256 + 4 * 256, dtype=np.complex64)))


def magnitudes(values):
    """iqenv's magnitudes, from its values, for a run that starts from silence: the mean of the
    magnitudes grows by e[n] / n / 10000 at each step."""
    return EnvelopeRecovery().magnitudes(values)


def measured_levels(config_path, samplerate, tones):
    """The level (dB) of each unit tone at iqenv's output: the step from the middle of its on
    segment to the middle of its off segment."""
    result = run([IQENV, str(config_path)], keyed_tones(samplerate, tones).tobytes())
    assert result.returncode == 0, result.stderr
    m = magnitudes(values(result.stdout))
    span = SEGMENT * iqsignals.output_rate()
    middle = lambda start: m[int(start + 0.3 * span):int(start + 0.7 * span)].mean()  # noqa
    steps = [middle((1 + 2 * i) * span) - middle((2 + 2 * i) * span) for i in range(len(tones))]
    with np.errstate(divide="ignore"):
        return 20 * np.log10(np.abs(steps))
