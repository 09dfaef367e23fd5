"""iqenv on signals, alone and in the README's pipelines."""
import subprocess

import numpy as np
import pytest
import scipy.io.wavfile
from conftest import IQENV, TOOL, config, iqsignals, run, values

RAW_F32 = "-t raw -e floating-point -b 32 -r 24000 -c 1"


@pytest.mark.parametrize("frequency, offset", [(100e3, 100e3), (433.92e6, -480e3)])
def test_recovers_an_am_tone(tmp_path, frequency, offset):
    """AM at an offset through band-pass taps: the tone's frequency and depth come back."""
    rate, tone, depth, amplitude = 2400000, 1000.0, 0.4, 0.8
    taps = iqsignals.bandpass_taps(rate, offset, 40e3, 257)
    iq = iqsignals.am_signal(rate, 1.0, offset, tone, depth, amplitude=amplitude, noise=0.02)
    r = run([IQENV, config(tmp_path, frequency, rate, taps)], iq.tobytes())
    assert r.returncode == 0, r.stderr
    v = values(r.stdout)
    assert abs(len(v) - 24000) < 100
    found, peak = iqsignals.tone_of(v[6000:])
    assert found == pytest.approx(tone, abs=1.0)
    # The cosine halves the carrier's level after resampling; the taps pass it at gain ~1.
    gain = abs(np.sum(taps * np.exp(-2j * np.pi * offset / rate * np.arange(len(taps)))))
    assert peak / 10000 / (amplitude * gain / 2) == pytest.approx(depth, rel=0.03)


def shell(command, cwd):
    return subprocess.run(["bash", "-o", "pipefail", "-c", command], cwd=cwd,
                          capture_output=True, text=True)


@pytest.fixture(scope="module")
def scene(tmp_path_factory):
    """A folder with a unit-envelope configuration and an AM signal (1 kHz, depth 0.5)."""
    folder = tmp_path_factory.mktemp("pipeline")
    subprocess.run([TOOL, "design", "-o", "remote.cfg", "--samplerate", "2400000",
                    "--center", "100e3", "--gain", "1e-4"],
                   cwd=folder, check=True, capture_output=True)
    iqsignals.am_signal(2400000, 0.3, 100e3, 1000.0, 0.5, noise=0.01).tofile(
        folder / "capture.cf32")
    direct = shell(f"{IQENV} remote.cfg < capture.cf32 > envelope.f32", folder)
    assert direct.returncode == 0, direct.stderr
    return folder, np.fromfile(folder / "envelope.f32", dtype=np.float32)


def test_envelope_into_a_sox_wav(scene):
    folder, direct = scene
    result = shell(f"{IQENV} remote.cfg < capture.cf32 | sox {RAW_F32} - envelope.wav", folder)
    assert result.returncode == 0 and "clipped" not in result.stderr, result.stderr
    rate, wav = scipy.io.wavfile.read(folder / "envelope.wav")
    assert rate == 24000 and wav.ndim == 1 and len(wav) == len(direct) > 5000
    np.testing.assert_allclose(wav, direct, atol=1e-7)


def test_receiver_bytes_converted_by_sox(scene):
    """Unsigned 8-bit IQ, as many receivers write it, through sox into iqenv, bit for bit."""
    folder, _ = scene
    iq = np.fromfile(folder / "capture.cf32", dtype=np.float32)
    u8 = np.clip(np.round(iq * 100 + 128), 0, 255).astype(np.uint8)
    u8.tofile(folder / "capture.cu8")
    ((u8.astype(np.float32) - 128) / 128).astype(np.float32).tofile(folder / "expected.cf32")
    result = shell(
        f"sox -t raw -e unsigned-integer -b 8 -c 2 -r 2400000 - "
        f"-t raw -e floating-point -b 32 - < capture.cu8 | {IQENV} remote.cfg > from_u8.f32 && "
        f"{IQENV} remote.cfg < expected.cf32 > expected.f32", folder)
    assert result.returncode == 0, result.stderr
    got = (folder / "from_u8.f32").read_bytes()
    assert len(got) > 20000 and got == (folder / "expected.f32").read_bytes()
