"""iqenv-config design: files iqenv reads, the promised response, refusals, and its plot."""
import re

import numpy as np
import pytest
from conftest import (IQENV, ONE_TAP, TOOL, config_bytes, design, hertz, iqenv_report,
                      iqsignals, run, taps_of)


DESIGNS = [
    # samplerate, frequency, bandwidth, extra arguments
    (2400000, 100e3, 20e3, []),
    (2400000, 433.92e6, 50e3, ["--window", "blackman"]),  # the cosine folds to -480 kHz
    (250000, 30e3, 10e3, ["--center", "-30e3", "--window", "hamming"]),
    (2400000, 1.15e6, 60e3, ["--window", "hann", "--gain", "1e-4"]),  # stop band wraps
    (48000, 5e3, 2e3, ["--window", "blackmanharris"]),
]


@pytest.fixture(scope="module", params=DESIGNS, ids=lambda d: f"{d[1]:g}Hz{''.join(d[3])}")
def designed(request, tmp_path_factory):
    """Each design once: (its parameters, the file, what design printed)."""
    path, printed = design(tmp_path_factory.mktemp("design"), *request.param)
    return request.param, path, printed


def test_design_is_read_by_iqenv_and_shown_back(designed):
    (samplerate, frequency, bandwidth, extra), path, designed = designed
    status, report = iqenv_report(path)
    assert status == 0 and len(report) == 4
    assert designed.splitlines()[:4] == report
    shown = run([TOOL, "show", "--taps", str(path)], text=True)
    assert shown.returncode == 0 and shown.stdout.splitlines()[:4] == report
    assert f"Frequency : {np.float32(frequency) / 1e6:g} MHz" in report[1]

    # The table lists exactly the taps in the file, in order.
    rows = re.findall(r"^\s*(\d+)\s+(\S+)\s+(\S+)$", shown.stdout, re.M)
    table = np.array([complex(float(re_), float(im)) for _, re_, im in rows])
    np.testing.assert_allclose(table, taps_of(path), rtol=1e-7, atol=0)

    # show's measured centre is the requested one, folded into the sample rate's band.
    centre = hertz(re.search(r"Passband centre : (\S+ \S+)", shown.stdout).group(1))
    wanted = float(extra[extra.index("--center") + 1]) if "--center" in extra else frequency
    folded = (float(np.float32(wanted)) + samplerate / 2) % samplerate - samplerate / 2
    assert abs(centre - folded) < samplerate * 1e-4


def test_design_meets_its_stated_band_edges(designed):
    (samplerate, _, bandwidth, _), path, designed = designed
    p_lo, p_hi, ripple, level = re.search(
        r"Pass band : (\S+ \S+) to (\S+ \S+), within (\S+) dB of (\S+) dB", designed).groups()
    s_lo, s_hi, attenuation = re.search(
        r"Stop band : below (\S+ \S+) and above (\S+ \S+), at least (\S+) dB", designed).groups()
    p_lo, p_hi, s_lo, s_hi = map(hertz, (p_lo, p_hi, s_lo, s_hi))
    assert p_hi - p_lo == pytest.approx(bandwidth, rel=1e-5)

    taps = taps_of(path).astype(np.complex128)
    # Exact DTFT on a grid of its own, 8 points per 1/len(taps) of the rate.
    points = 8 * len(taps) * 16
    f = np.arange(points) * samplerate / points - samplerate / 2
    gain_db = 20 * np.log10(np.abs(np.fft.fftshift(np.fft.fft(taps, points))) + 1e-300)
    centre = (p_lo + p_hi) / 2
    d = np.abs((f - centre + samplerate / 2) % samplerate - samplerate / 2)
    margin = samplerate * 1e-6  # the printed edges carry six digits
    passband = gain_db[d <= (p_hi - p_lo) / 2 - margin]
    stopband = gain_db[d >= (s_hi - s_lo) / 2 + margin]
    assert passband.size > 10 and stopband.size > 10
    assert np.all(np.abs(passband - float(level)) <= float(ripple))
    assert stopband.max() <= float(level) - float(attenuation)


def test_given_tap_count_and_invalid_arguments(tmp_path):
    path, _ = design(tmp_path, 2400000, 100e3, 20e3, ["--taps", "64"])
    assert len(taps_of(path)) == 64

    # What iqenv refuses, design refuses with iqenv's text, as a usage error, writing nothing.
    refusals = {
        ("--samplerate", "0"): config_bytes(rate=0),
        ("--frequency", "1e39"): config_bytes(np.inf),
        ("--taps", "0"): config_bytes(taps=b""),
    }
    for (option, value), equivalent in refusals.items():
        reference = tmp_path / "reference.bin"
        reference.write_bytes(equivalent)
        message = iqenv_report(reference)[1][-1]
        arguments = {"--samplerate": "2400000", "--frequency": "1e5", "--bandwidth": "2e4"}
        arguments[option] = value
        out = tmp_path / "new.bin"
        result = run([TOOL, "design", "-o", str(out)] + [x for kv in arguments.items() for x in kv],
                     text=True)
        assert (result.returncode, result.stderr.strip()) == (2, message)
        assert not out.exists()


def test_designed_taps_pass_the_band_and_reject_the_image_in_iqenv(tmp_path):
    """End to end through iqenv: a tone at the mixer passes, the same tone at its image not."""
    path, _ = design(tmp_path, 2400000, 100e3, 20e3, [])
    amplitudes = []
    for offset in (100e3, -100e3):
        iq = iqsignals.am_signal(2400000, 0.25, offset, 1000.0, 0.5)
        result = run([IQENV, str(path)], iq.tobytes())
        assert result.returncode == 0
        values = np.frombuffer(result.stdout, dtype=np.float32)
        amplitudes.append(iqsignals.tone_of(values[len(values) // 4:])[1])
    # Depth 0.5 of amplitude 1, halved by the cosine, times 10000.
    assert amplitudes[0] == pytest.approx(2500, rel=0.05)
    assert amplitudes[1] < amplitudes[0] * 10 ** (-55 / 20)


def test_plot_writes_a_png_and_refuses_like_iqenv(tmp_path):
    path, _ = design(tmp_path, 2400000, 100e3, 20e3, [])
    png = tmp_path / "response.png"
    result = run([TOOL, "plot", str(path), "-o", str(png)], text=True)
    assert result.returncode == 0, result.stderr
    import matplotlib.image
    height, width = matplotlib.image.imread(png).shape[:2]
    assert width >= 800 and height >= 600

    path.write_bytes(config_bytes(count=5, taps=ONE_TAP * 2))
    result = run([TOOL, "plot", str(path), "-o", str(tmp_path / "no.png")], text=True)
    assert (result.returncode, result.stderr.splitlines()) == iqenv_report(path)
    assert not (tmp_path / "no.png").exists()
