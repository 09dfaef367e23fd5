"""Faults injected around a running iqenv: readers that go away, signals mid-stream, input that
breaks off, and configuration paths that are not plain files."""
import os
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import iqsignals  # noqa: E402

IQENV = os.path.abspath(
    os.environ.get("IQENV", os.path.join(os.path.dirname(__file__), "..", "build", "iqenv")))
BLOCK = 2048  # bytes of input per block
# Instrumented or emulated binaries reserve far more address space than a tight limit allows.
ADDRESS_LIMIT_WORKS = not os.environ.get("IQENV_NO_ADDRESS_LIMIT")


def signal_defaults(*ignored):
    """A preexec_fn: every signal tested here at its default, except those named."""
    def apply():
        for s in (signal.SIGPIPE, signal.SIGINT, signal.SIGTERM):
            signal.signal(s, signal.SIG_IGN if s in ignored else signal.SIG_DFL)
    return apply


def unit_config(directory, name="unit.cfg"):
    """Ratio 1 and a single unit tap: one value out for each sample in."""
    path = os.path.join(directory, name)
    iqsignals.write_config(path, 0.0, 24000, [1 + 0j])
    return path


def carrier(blocks, level=0.5):
    n = np.arange(blocks * 256)
    return (level * (1 + 0.3 * np.sin(n / 50.0))).astype(np.complex64).tobytes()


def feed_forever(stream, chunk):
    """Writes chunk after chunk until the reader goes away; returns the thread doing it."""
    def run():
        try:
            while True:
                stream.write(chunk)
                stream.flush()
        except (BrokenPipeError, ValueError, OSError):
            pass

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return thread


def streaming(config, **kwargs):
    """iqenv on an endless input; its output and error stay pipes for the test to handle."""
    p = subprocess.Popen([IQENV, config], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, **kwargs)
    feeder = feed_forever(p.stdin, carrier(64))
    return p, feeder


def read_at_least(stream, count):
    data = b""
    while len(data) < count:
        piece = os.read(stream.fileno(), count - len(data))
        assert piece, "the output ended early"
        data += piece
    return data


@pytest.mark.parametrize("ignored", [False, True])
def test_a_reader_that_goes_away_ends_the_run_promptly(tmp_path, ignored):
    """The endless input can only end if iqenv stops reading it on its own."""
    preexec = signal_defaults(signal.SIGPIPE) if ignored else signal_defaults()
    p, feeder = streaming(unit_config(tmp_path), preexec_fn=preexec, restore_signals=False)
    try:
        read_at_least(p.stdout, 4096)
        p.stdout.close()
        p.wait(timeout=30)
        err = p.stderr.read().decode()
    finally:
        p.kill()
        p.wait()
    if ignored:
        assert p.returncode == 1
        assert err.endswith("\nError: Cannot write to standard output: Broken pipe\n")
        assert err.count("Error:") == 1
    else:
        assert p.returncode == -signal.SIGPIPE
        assert "Error:" not in err
    feeder.join(timeout=30)
    assert not feeder.is_alive()


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_a_signal_mid_stream_leaves_only_whole_values(tmp_path, signum):
    p, feeder = streaming(unit_config(tmp_path), preexec_fn=signal_defaults(),
                          restore_signals=False)
    try:
        # An odd count, so that the signal is not timed to a value boundary on this side.
        out = read_at_least(p.stdout, 40001)
        p.send_signal(signum)
        out += p.stdout.read()
        p.wait(timeout=30)
    finally:
        p.kill()
        p.wait()
    assert p.returncode == -signum
    assert len(out) > 40001 and len(out) % 4 == 0
    assert np.all(np.isfinite(np.frombuffer(out, dtype="<f4")))
    feeder.join(timeout=30)


def run_on(config, stdin, **kwargs):
    return subprocess.run([IQENV, config], stdin=stdin, capture_output=True, timeout=120,
                          **kwargs)


def test_input_that_dribbles_and_ends_mid_block_loses_no_whole_block(tmp_path):
    config = unit_config(tmp_path)
    data = carrier(6)
    whole = run_on(config, None, input=data)
    assert whole.returncode == 0 and len(whole.stdout) > 0

    rd, wr = os.pipe()

    def dribble():
        # Pieces that straddle block boundaries, and the last block cut short.
        tail = data + data[:BLOCK // 2 + 3]
        at, piece = 0, 1
        while at < len(tail):
            os.write(wr, tail[at:at + piece])
            at += piece
            piece = piece * 7 % 1999 + 1
            time.sleep(0.001)
        os.close(wr)

    writer = threading.Thread(target=dribble)
    writer.start()
    try:
        r = run_on(config, rd)
    finally:
        os.close(rd)
        writer.join()
    assert (r.returncode, r.stdout) == (0, whole.stdout)


def test_a_read_error_mid_stream_keeps_the_values_before_it(tmp_path):
    """A socket whose peer resets the connection: data first, then ECONNRESET."""
    config = unit_config(tmp_path)
    data = carrier(5)
    clean = run_on(config, None, input=data)

    ours, theirs = socket.socketpair()
    # Data left unread on our side makes our close a reset rather than an end of input.
    theirs.sendall(b"unread")
    ours.sendall(data + data[:BLOCK // 2])
    p = subprocess.Popen([IQENV, config], stdin=theirs.fileno(), stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE)
    theirs.close()
    time.sleep(0.2)
    ours.close()
    out, err = p.communicate(timeout=60)
    assert p.returncode == 1
    assert err.decode().endswith("\nError: Cannot read standard input: Connection reset by peer\n")
    assert out == clean.stdout and len(out) > 0


def fifo_config(tmp_path, content):
    """A FIFO that serves `content` once, written in small pieces, then reaches its end."""
    path = str(tmp_path / "cfg.fifo")
    os.mkfifo(path)

    def serve():
        with open(path, "wb") as f:
            for at in range(0, len(content), 5):
                f.write(content[at:at + 5])
                f.flush()

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    return path, thread


def test_a_fifo_or_process_substitution_configures_like_a_file(tmp_path):
    config = str(tmp_path / "c.cfg")
    taps = iqsignals.bandpass_taps(96000, 5000, 8000, 33)
    iqsignals.write_config(config, 5000.0, 96000, taps)
    data = carrier(20)
    from_file = run_on(config, None, input=data)
    assert from_file.returncode == 0 and len(from_file.stdout) > 0

    with open(config, "rb") as f:
        path, server = fifo_config(tmp_path, f.read())
    from_fifo = run_on(path, None, input=data)
    server.join(timeout=30)
    assert (from_fifo.returncode, from_fifo.stdout, from_fifo.stderr) == \
        (0, from_file.stdout, from_file.stderr)

    r = subprocess.run(["bash", "-c", 'exec "$0" <(cat "$1")', IQENV, config], input=data,
                       capture_output=True, timeout=120)
    assert (r.returncode, r.stdout) == (0, from_file.stdout)


@pytest.mark.skipif(not ADDRESS_LIMIT_WORKS, reason="no address-space limit for this binary")
def test_a_huge_count_through_a_fifo_needs_no_memory(tmp_path):
    """A FIFO has no size to check the count against: the taps must be read as they come."""
    path = str(tmp_path / "huge.cfg")
    iqsignals.write_config(path, 1.0, 48000, [1 + 0j] * 1000, declared=0xFFFFFFFF)
    with open(path, "rb") as f:
        content = f.read()
    fifo, server = fifo_config(tmp_path, content)
    limit = 64 << 20

    def cap():
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

    r = run_on(fifo, subprocess.DEVNULL, preexec_fn=cap)
    server.join(timeout=30)
    assert r.stderr.decode() == "Error: Failed to read complex sample[1000] (file truncated?)\n"
    assert r.returncode == 1


def as_nobody():
    """The command prefix that runs a program as an unprivileged user, or None."""
    if os.geteuid() != 0:
        return []
    setpriv = shutil.which("setpriv")
    if setpriv is None:
        return None
    return [setpriv, "--reuid=nobody", "--regid=nogroup", "--clear-groups"]


@pytest.mark.skipif(as_nobody() is None, reason="running as root without setpriv")
def test_a_config_without_read_permission_cannot_be_opened():
    # A world-searchable directory, so that only the file's own mode stands in the way; the
    # binary is copied there in case its build directory is private.
    directory = tempfile.mkdtemp(prefix="iqenv-perm-")
    try:
        os.chmod(directory, 0o755)
        binary = os.path.join(directory, "iqenv")
        shutil.copy2(IQENV, binary)
        config = unit_config(directory)
        os.chmod(config, 0o200)
        rd, wr = os.pipe()
        os.write(wr, b"\0" * BLOCK)
        os.close(wr)
        r = subprocess.run([*as_nobody(), binary, config], stdin=rd, capture_output=True,
                           timeout=60)
        left = os.read(rd, 2 * BLOCK)
        os.close(rd)
    finally:
        shutil.rmtree(directory)
    assert (r.returncode, r.stdout) == (1, b"")
    assert r.stderr.decode() == f"Error: Cannot open config file: {config}\n"
    assert len(left) == BLOCK


def test_a_non_blocking_output_pipe_that_fills_loses_nothing(tmp_path):
    """A consumer that set O_NONBLOCK on the shared pipe and reads slowly: a full pipe must be
    waited for, not taken for a failure."""
    config = unit_config(tmp_path)
    data = carrier(200)  # 51200 values, 200 KiB: more than a pipe holds
    clean = run_on(config, None, input=data)
    rd, wr = os.pipe()
    os.set_blocking(wr, False)
    p = subprocess.Popen([IQENV, config], stdin=subprocess.PIPE, stdout=wr,
                         stderr=subprocess.PIPE)
    os.close(wr)

    def feed():
        try:
            p.stdin.write(data)
            p.stdin.close()
        except BrokenPipeError:
            pass

    feeder = threading.Thread(target=feed)
    feeder.start()
    time.sleep(0.5)  # long enough for the pipe to fill
    out = b""
    while True:
        piece = os.read(rd, 1 << 16)
        if not piece:
            break
        out += piece
    os.close(rd)
    p.wait(timeout=60)
    feeder.join()
    assert p.returncode == 0, p.stderr.read()
    assert out == clean.stdout
