"""iqenv's streams under stress: readers that go away, signals mid-stream, input that breaks
off, non-blocking pipes, and NaN in the input."""
import os
import select
import signal
import socket
import subprocess
import threading
import time

import numpy as np
import pytest
from conftest import BLOCK, IQENV, carrier, config, iqsignals, run, values


@pytest.mark.parametrize("event, status, message", [
    ("reader leaves", -signal.SIGPIPE, ""),
    ("reader leaves, SIGPIPE ignored", 1, "Error: Cannot write to standard output: Broken pipe\n"),
    ("SIGINT", -signal.SIGINT, ""),
    ("SIGTERM", -signal.SIGTERM, ""),
])
def test_an_endless_run_ends_promptly_by_its_reader_or_a_signal(tmp_path, event, status, message):
    """The endless input ends only if iqenv stops reading it; only whole values ever leave."""
    def signals():  # those tested here at their defaults, but for the one ignored
        for s in (signal.SIGPIPE, signal.SIGINT, signal.SIGTERM):
            signal.signal(s, signal.SIG_IGN if "ignored" in event and s == signal.SIGPIPE
                          else signal.SIG_DFL)

    def feed():
        try:
            while True:
                p.stdin.write(carrier(64))
                p.stdin.flush()
        except (BrokenPipeError, ValueError, OSError):
            pass

    p = subprocess.Popen([IQENV, config(tmp_path)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, preexec_fn=signals, restore_signals=False)
    feeder = threading.Thread(target=feed, daemon=True)
    feeder.start()
    try:
        out = b""
        # An odd count, so that what follows is not timed to a value boundary on this side.
        while len(out) < 40001:
            piece = os.read(p.stdout.fileno(), 40001 - len(out))
            assert piece, "the output ended early"
            out += piece
        if event.startswith("SIG"):
            p.send_signal(getattr(signal, event))
            out += p.stdout.read()
        p.stdout.close()
        p.wait(timeout=30)
        err = p.stderr.read().decode()
    finally:
        p.kill()
        p.wait()
    feeder.join(timeout=30)
    assert (p.returncode, err.count("Error:"), feeder.is_alive()) == (status, bool(message), False)
    assert err.endswith("\n" + message)
    if event.startswith("SIG"):
        assert np.all(np.isfinite(values(out)))


def test_a_read_error_mid_stream_keeps_the_values_before_it(tmp_path):
    """A socket whose peer resets the connection: data first, then ECONNRESET."""
    path = config(tmp_path)
    data = carrier(5)
    clean = run([IQENV, path], data)
    ours, theirs = socket.socketpair()
    # Data left unread on our side makes our close a reset rather than an end of input.
    theirs.sendall(b"unread")
    ours.sendall(data + data[:BLOCK // 2])
    p = subprocess.Popen([IQENV, path], stdin=theirs.fileno(), stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE)
    theirs.close()
    time.sleep(0.2)
    ours.close()
    out, err = p.communicate(timeout=60)
    assert p.returncode == 1
    assert err.decode().endswith("\nError: Cannot read standard input: Connection reset by peer\n")
    assert out == clean.stdout and len(out) > 0


@pytest.mark.parametrize("side", ["stdin", "stdout"])
def test_a_non_blocking_pipe_changes_nothing(tmp_path, side):
    """A producer or a consumer that set O_NONBLOCK on the pipe it shares with iqenv and is
    slow: an empty or a full pipe is waited for, values leave while the input is still open,
    and a partial last block is dropped. The output is that of a blocking run."""
    path = config(tmp_path)
    data = carrier(200)  # 200 KiB of output: more than a pipe holds
    reference = run([IQENV, path], data)
    in_rd, in_wr = os.pipe()
    out_rd, out_wr = os.pipe()
    os.set_blocking(in_rd if side == "stdin" else out_wr, False)
    p = subprocess.Popen([IQENV, path], stdin=in_rd, stdout=out_wr, stderr=subprocess.PIPE)
    os.close(in_rd)
    os.close(out_wr)
    seen = threading.Event()

    def produce():
        # Pieces that straddle block boundaries, and the last block cut short.
        stream, at, piece = data + data[:BLOCK - 1], 0, 1
        try:
            while at < len(stream):
                if at > 8 * BLOCK:
                    seen.wait(30)
                os.write(in_wr, stream[at:at + piece])
                at, piece = at + piece, piece * 7 % 3999 + 1
                time.sleep(0.0005)
        except OSError:
            pass
        os.close(in_wr)

    producer = threading.Thread(target=produce)
    producer.start()
    try:
        live = select.select([out_rd], [], [], 30)[0]
        seen.set()
        time.sleep(0.5)  # long enough for the output pipe to fill
        out = b""
        while piece := os.read(out_rd, 1 << 16):
            out += piece
        err = p.communicate(timeout=60)[1]
    finally:
        seen.set()
        p.kill()
        producer.join()
        os.close(out_rd)
    assert live, "no value left while the input was still open"
    assert (p.returncode, err, out) == (0, reference.stderr, reference.stdout)
    assert len(out) > 1 << 16


def test_a_nan_burst_is_forgotten(tmp_path):
    """A constant carrier with a burst of NaN in it: zeros, then the envelope recovers by itself."""
    rate = 2400000
    path = config(tmp_path, 100e3, rate, iqsignals.bandpass_taps(rate, 100e3, 30e3, 65))
    iq = iqsignals.am_signal(rate, 0.5, 100e3, 1000, 0.0)
    iq[600000:600100] = np.nan
    iq[600200] = complex(np.inf, 0)
    r = run([IQENV, path], iq.tobytes())
    assert r.returncode == 0
    v = values(r.stdout)
    assert np.all(np.isfinite(v))
    bad = np.flatnonzero(v == 0)
    burst = bad[bad > 100]
    assert 0 < len(burst) < 200, "the burst should cost some values, not the rest of the run"
    before, after = v[3000:5900], v[burst[-1] + 200:]
    assert len(after) > 4000
    # A constant carrier: before and after the burst the envelope sits at the same small level.
    assert np.max(np.abs(after)) < 50 and np.max(np.abs(before)) < 50
