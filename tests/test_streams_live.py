"""`iqenv-config pulses -` at the head of a live pipeline: a decoder after it that goes away is
noticed whether or not anything is being written, and said."""
import os
import subprocess
import threading
import time

import numpy as np
import pytest
from conftest import IQENV, TOOL, run

import keyed

RATE = 250000


@pytest.fixture(scope="module")
def busy(tmp_path_factory):
    """iqenv's values for a second of a remote sending over and over."""
    folder = tmp_path_factory.mktemp("busy")
    cfg = folder / "channel.cfg"
    assert run([TOOL, "design", "-o", str(cfg), "--samplerate", str(RATE), "--center",
                "40000"]).returncode == 0
    device = keyed.Device("pwm_period", 400, [1, 0, 1, 1, 0, 0, 1, 0] * 3, repeats=2)
    iq = np.concatenate([keyed.recording(device, RATE, 40e3, 20.0, 20.9e3, lead=0.1)] * 8)
    result = run([IQENV, str(cfg)], iq.astype(np.complex64).tobytes())
    assert result.returncode == 0
    return result.stdout


@pytest.mark.parametrize("stream, output", [("silent", "pipe"), ("busy", "pipe"),
                                            ("silent", "file")])
def test_the_output_going_away_is_noticed_and_said(tmp_path, busy, stream, output):
    """The input's writer stays; the reader of a pipe on the output reads what it wants (the
    first line) and leaves. A file on the output never goes away: pulses waits on."""
    in_rd, in_wr = os.pipe()
    out = open(tmp_path / "out", "wb") if output == "file" else subprocess.PIPE
    proc = subprocess.Popen([TOOL, "pulses", "-", "--ook"], stdin=in_rd, stdout=out,
                            stderr=subprocess.PIPE)
    os.close(in_rd)

    def write():
        try:
            while True:
                os.write(in_wr, busy)
        except BrokenPipeError:
            pass

    writer = threading.Thread(target=write, daemon=True)
    if stream == "busy":
        writer.start()
        assert proc.stdout.readline()
    else:
        time.sleep(1.0)
    if output == "pipe":
        proc.stdout.close()
    left = time.monotonic()
    try:
        status = proc.wait(timeout=2.0)
    except subprocess.TimeoutExpired:
        status = None
    gone = time.monotonic() - left
    if stream == "busy":
        proc.kill()  # a run still going would keep the writer waiting
        writer.join()
    os.close(in_wr)  # the end of the input, for a run still waiting on it
    errors = proc.communicate(timeout=30)[1].decode()
    if output == "file":
        assert (status, proc.returncode, errors) == (None, 0, "")
    else:
        assert (status, errors) == (1, "Error: standard output was closed; stopping\n"), gone
