"""The iqenv program as its users meet it: arguments, messages, exit statuses and streams."""
import os
import resource
import select
import struct
import subprocess
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import iqsignals  # noqa: E402

IQENV = os.path.abspath(os.environ.get("IQENV", os.path.join(os.path.dirname(__file__), "..", "build", "iqenv")))
REPORT = (
    "=== Filter Configuration ===\n"
    "  Frequency : {mhz} MHz\n"
    "  Samplerate  : {rate}\n"
    "  Number of complex filter taps : {taps}\n"
)


def run(args, stdin=b"", **kwargs):
    return subprocess.run([IQENV, *args], input=stdin, capture_output=True, timeout=120, **kwargs)


def config(tmp_path, frequency=100e3, rate=2400000, taps=((1, 0),), declared=None, name="c.cfg"):
    path = tmp_path / name
    iqsignals.write_config(path, frequency, rate, [complex(*t) for t in taps], declared)
    return str(path)


def values(stdout):
    assert len(stdout) % 4 == 0
    return np.frombuffer(stdout, dtype="<f4")


def test_usage_help_and_version():
    for args in ([], ["a", "b"], ["a", "b", "c"]):
        r = run(args)
        assert r.returncode == 2
        assert r.stdout == b""
        lines = r.stderr.decode().splitlines()
        assert lines[0] == "Usage: iqenv CONFIG_FILE" and len(lines) == 2
    for flag in ("-h", "--help"):
        r = run([flag])
        assert r.returncode == 0 and r.stderr == b""
        assert r.stdout.decode().startswith("Usage: iqenv CONFIG_FILE\n")
    r = run(["--version"])
    assert r.returncode == 0 and r.stdout.decode().startswith("iqenv ")


def unread_input(args, **kwargs):
    """Runs iqenv on a pipe holding one block; returns the result and what it left unread."""
    rd, wr = os.pipe()
    os.write(wr, b"\0" * 2048)
    os.close(wr)
    r = subprocess.run([IQENV, *args], stdin=rd, capture_output=True, timeout=60, **kwargs)
    left = os.read(rd, 4096)
    os.close(rd)
    return r, len(left)


@pytest.mark.parametrize(
    "content, message",
    [
        (b"", "Failed to read 'frequency' (need 4 bytes)"),
        (b"\0" * 6, "Failed to read 'samplerate' (need 4 bytes)"),
        (b"\0" * 11, "Failed to read the number of taps (need 4 bytes)"),
        (struct.pack("<fII", 1, 48000, 3) + b"\0" * 20, "Failed to read complex sample[2] (file truncated?)"),
    ],
)
def test_unreadable_configurations_fail_before_the_report(tmp_path, content, message):
    path = tmp_path / "bad.cfg"
    path.write_bytes(content)
    r, left = unread_input([str(path)])
    assert (r.returncode, r.stdout, r.stderr.decode()) == (1, b"", f"Error: {message}\n")
    assert left == 2048


def test_files_that_cannot_be_opened(tmp_path):
    for path in ("no/such.cfg", str(tmp_path)):
        r, left = unread_input([path], cwd=tmp_path)
        assert (r.returncode, r.stderr.decode()) == (1, f"Error: Cannot open config file: {path}\n")
        assert left == 2048


@pytest.mark.skipif("IQENV_NO_ADDRESS_LIMIT" in os.environ,
                    reason="sanitisers and emulators reserve more address space than the limit")
def test_a_huge_declared_count_needs_no_memory(tmp_path):
    path = config(tmp_path, taps=((1, 0),), declared=0xFFFFFFFF)
    limit = 64 << 20

    def cap():
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

    r = run([path], preexec_fn=cap)
    assert r.stderr.decode() == "Error: Failed to read complex sample[1] (file truncated?)\n"
    assert r.returncode == 1


@pytest.mark.parametrize(
    "frequency, rate, taps, message",
    [
        (1e5, 2400000, (), "The filter has no taps"),
        (1e5, 0, ((1, 0),), "Samplerate 0 is not supported (the resampler accepts 94 to 6144000 samples per second)"),
        (1e5, 93, ((1, 0),), "Samplerate 93 is not supported (the resampler accepts 94 to 6144000 samples per second)"),
        (1e5, 6144001, ((1, 0),), "Samplerate 6144001 is not supported (the resampler accepts 94 to 6144000 samples per second)"),
        (float("nan"), 2400000, ((1, 0),), "Frequency is not a finite number"),
        (float("-inf"), 2400000, ((1, 0),), "Frequency is not a finite number"),
        (1e5, 2400000, ((1, 0), (0, float("inf"))), "Filter tap[1] is not a finite number"),
    ],
)
def test_configurations_that_cannot_run_are_refused_after_the_report(tmp_path, frequency, rate, taps, message):
    r, left = unread_input([config(tmp_path, frequency, rate, taps)])
    assert r.returncode == 1
    err = r.stderr.decode()
    assert err.startswith("=== Filter Configuration ===\n")
    assert f"  Number of complex filter taps : {len(taps)}\n" in err
    assert err.endswith(f"\nError: {message}\n") and "Resampling ratio" not in err
    assert left == 2048


def test_empty_and_partial_input_end_cleanly(tmp_path):
    path = config(tmp_path, 433.92e6, 2400000, ((1, 0),) * 3)
    for stdin in (b"", b"\x01" * 2047):
        r = run([path], stdin)
        assert r.returncode == 0 and r.stdout == b""
        assert r.stderr.decode() == REPORT.format(mhz="433.92", rate=2400000, taps=3) + "Resampling ratio : 0.01\n"
    r = run([config(tmp_path, 0, 24000)], b"")
    assert r.stderr.decode().endswith("Resampling ratio : 1\n") and "Frequency : 0 MHz" in r.stderr.decode()


def test_a_partial_last_block_is_dropped(tmp_path):
    path = config(tmp_path, 0, 24000)
    iq = (np.ones(4 * 256) * (1 + 1j)).astype(np.complex64).tobytes()
    whole = run([path], iq).stdout
    assert len(whole) > 0
    assert run([path], iq + b"\x7f" * 2047).stdout == whole


def test_output_failures_and_input_errors_are_reported(tmp_path):
    path = config(tmp_path, 0, 24000)
    block = (np.ones(256) * 0.5).astype(np.complex64).tobytes()
    with open("/dev/full", "wb") as full:
        r = subprocess.run([IQENV, path], input=block * 40, stdout=full, stderr=subprocess.PIPE, timeout=60)
    assert r.returncode == 1
    assert r.stderr.decode().endswith("\nError: Cannot write to standard output: No space left on device\n")

    fd = os.open("/", os.O_RDONLY | os.O_DIRECTORY)
    try:
        r = subprocess.run([IQENV, path], stdin=fd, capture_output=True, timeout=60)
    finally:
        os.close(fd)
    assert r.returncode == 1
    assert r.stderr.decode().endswith("\nError: Cannot read standard input: Is a directory\n")


def test_values_leave_as_soon_as_they_are_made(tmp_path):
    """A live receiver: output must appear while the input is still open."""
    p = subprocess.Popen([IQENV, config(tmp_path, 0, 24000)], stdin=subprocess.PIPE,
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        p.stdin.write((np.ones(256 * 8) * 0.5).astype(np.complex64).tobytes())
        p.stdin.flush()
        ready, _, _ = select.select([p.stdout], [], [], 20)
        assert ready, "no value arrived while the input stayed open"
        assert len(os.read(p.stdout.fileno(), 4)) == 4
    finally:
        p.stdin.close()
        p.stdout.close()
        p.wait(timeout=60)


def test_a_nan_burst_is_forgotten(tmp_path):
    """A constant carrier with a burst of NaN in it: zeros, then the envelope recovers by itself."""
    rate = 2400000
    path = config(tmp_path, 100e3, rate, [(t.real, t.imag) for t in iqsignals.bandpass_taps(rate, 100e3, 30e3, 65)])
    iq = iqsignals.am_signal(rate, 0.5, 100e3, 1000, 0.0)
    iq[600000:600100] = np.nan
    iq[600200] = complex(np.inf, 0)
    r = run([path], iq.tobytes())
    assert r.returncode == 0
    v = values(r.stdout)
    assert np.all(np.isfinite(v))
    bad = np.flatnonzero(v == 0)
    burst = bad[bad > 100]
    assert 0 < len(burst) < 200, "the burst should cost some values, not the rest of the run"
    before = v[3000:5900]
    after = v[burst[-1] + 200 :]
    assert len(after) > 4000
    # A constant carrier: before and after the burst the envelope sits at the same small level.
    assert np.max(np.abs(after)) < 50 and np.max(np.abs(before)) < 50


@pytest.mark.parametrize("frequency, offset", [(100e3, 100e3), (433.92e6, -480e3)])
def test_recovers_an_am_tone(tmp_path, frequency, offset):
    """AM at an offset through band-pass taps: the tone's frequency and depth come back."""
    rate, tone, depth, amplitude = 2400000, 1000.0, 0.4, 0.8
    taps = iqsignals.bandpass_taps(rate, offset, 40e3, 257)
    path = config(tmp_path, frequency, rate, [(t.real, t.imag) for t in taps])
    iq = iqsignals.am_signal(rate, 1.0, offset, tone, depth, amplitude=amplitude, noise=0.02)
    r = run([path], iq.tobytes())
    assert r.returncode == 0, r.stderr
    v = values(r.stdout)
    assert abs(len(v) - 24000) < 100
    found, peak = iqsignals.tone_of(v[6000:])
    assert found == pytest.approx(tone, abs=1.0)
    # The cosine halves the carrier's level after resampling; the taps pass it at gain ~1.
    gain = abs(np.sum(taps * np.exp(-2j * np.pi * offset / rate * np.arange(len(taps)))))
    level = amplitude * gain / 2
    assert peak / 10000 / level == pytest.approx(depth, rel=0.03)
