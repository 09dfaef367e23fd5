"""iqenv-config against iqenv: designs iqenv reads, the same refusals, the promised response."""
import os
import re
import struct
import subprocess
import sys
import threading

import numpy as np
import pytest

IQENV = os.environ["IQENV"]
TOOL = os.environ["IQENV_CONFIG"]
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import iqsignals  # noqa: E402


def run(command, stdin=subprocess.DEVNULL):
    return subprocess.run(command, stdin=stdin, capture_output=True, text=True)


def iqenv_on(path):
    """iqenv on `path` with no input: its report and messages, without the ratio line."""
    result = run([IQENV, str(path)])
    lines = [line for line in result.stderr.splitlines() if not line.startswith("Resampling")]
    return result.returncode, lines


def config_bytes(frequency_bits, samplerate, count, taps=b""):
    return struct.pack("<III", frequency_bits, samplerate, count) + taps


def f32_bits(value):
    return struct.unpack("<I", struct.pack("<f", value))[0]


ONE_TAP = struct.pack("<ff", 1.0, 0.0)
GOOD = config_bytes(f32_bits(100e3), 2400000, 1, ONE_TAP)
# Files iqenv refuses, cut at every field and failing every check, plus two it accepts.
BAD_FILES = {
    "empty": b"",
    "frequency short": GOOD[:3],
    "samplerate missing": GOOD[:4],
    "samplerate short": GOOD[:7],
    "count short": GOOD[:11],
    "no taps": GOOD[:8] + struct.pack("<I", 0),
    "truncated at tap 2": config_bytes(f32_bits(1e5), 2400000, 5, ONE_TAP * 2),
    "half a tap": config_bytes(f32_bits(1e5), 2400000, 2, ONE_TAP + ONE_TAP[:5]),
    "huge count": config_bytes(f32_bits(1e5), 2400000, 0xFFFFFFFF, ONE_TAP * 3),
    "samplerate 0": config_bytes(f32_bits(1e5), 0, 1, ONE_TAP),
    "samplerate 93": config_bytes(f32_bits(1e5), 93, 1, ONE_TAP),
    "samplerate too high": config_bytes(f32_bits(1e5), 6144001, 1, ONE_TAP),
    "samplerate max": config_bytes(f32_bits(1e5), 0xFFFFFFFF, 1, ONE_TAP),
    "nan frequency": config_bytes(0x7FC00000, 48000, 1, ONE_TAP),
    "negative nan frequency": config_bytes(0xFFC00000, 48000, 1, ONE_TAP),
    "infinite frequency": config_bytes(0xFF800000, 48000, 1, ONE_TAP),
    "nan tap 3": config_bytes(f32_bits(1e5), 2400000, 5,
                              ONE_TAP * 3 + struct.pack("<ff", 0.0, float("nan")) + ONE_TAP),
    "infinite tap 0": config_bytes(f32_bits(1e5), 2400000, 1, struct.pack("<ff", -np.inf, 0)),
    "accepted, odd report": config_bytes(f32_bits(-1.5e-7), 94, 1, ONE_TAP + b"tail"),
    "accepted, 433.92 MHz": config_bytes(f32_bits(433.92e6), 6144000, 2, ONE_TAP * 2),
}


def show_as_iqenv(path):
    """show's report and message in iqenv's order, and its exit status."""
    result = run([TOOL, "show", str(path)])
    report = result.stdout.splitlines()[:4] if result.stdout else []
    return result.returncode, report + result.stderr.splitlines()


@pytest.mark.parametrize("name", sorted(BAD_FILES))
def test_show_refuses_and_reports_like_iqenv(tmp_path, name):
    path = tmp_path / "cfg.bin"
    path.write_bytes(BAD_FILES[name])
    expected = iqenv_on(path)
    assert show_as_iqenv(path) == expected
    assert expected[0] == (0 if name.startswith("accepted") else 1)


def test_paths_that_cannot_be_opened_or_have_no_size(tmp_path):
    for path in (tmp_path / "missing.bin", tmp_path):
        status, lines = iqenv_on(path)
        assert status == 1 and lines == [f"Error: Cannot open config file: {path}"]
        assert show_as_iqenv(path) == (status, lines)

    # A FIFO, as a process substitution gives: read as a stream, same report as iqenv's.
    fifo = tmp_path / "cfg.fifo"
    os.mkfifo(fifo)
    outputs = []
    for command in ([IQENV, str(fifo)], [TOOL, "show", str(fifo)]):
        writer = threading.Thread(target=fifo.write_bytes, args=(GOOD,))
        writer.start()
        outputs.append(run(command))
        writer.join()
    assert outputs[0].returncode == outputs[1].returncode == 0
    assert outputs[0].stderr.splitlines()[:4] == outputs[1].stdout.splitlines()[:4]


DESIGNS = [
    # samplerate, frequency, bandwidth, extra arguments
    (2400000, 100e3, 20e3, []),
    (2400000, 433.92e6, 50e3, ["--window", "blackman"]),  # the cosine folds to -480 kHz
    (250000, 30e3, 10e3, ["--center", "-30e3", "--window", "hamming"]),
    (2400000, 1.15e6, 60e3, ["--window", "hann", "--gain", "1e-4"]),  # stop band wraps
    (48000, 5e3, 2e3, ["--window", "blackmanharris"]),
]


def design(tmp_path, samplerate, frequency, bandwidth, extra):
    path = tmp_path / "cfg.bin"
    result = run([TOOL, "design", "-o", str(path), "--samplerate", str(samplerate),
                  "--frequency", repr(frequency), "--bandwidth", repr(bandwidth)] + extra)
    assert result.returncode == 0, result.stderr
    return path, result.stdout


def hertz(text):
    value, unit = text.split()
    return float(value) * {"Hz": 1, "kHz": 1e3, "MHz": 1e6}[unit]


def taps_of(path):
    """The taps as the file holds them, read without the tool's code."""
    data = path.read_bytes()
    count = struct.unpack_from("<I", data, 8)[0]
    return np.frombuffer(data, dtype="<c8", count=count, offset=12)


@pytest.fixture(scope="module", params=DESIGNS, ids=lambda d: f"{d[1]:g}Hz{''.join(d[3])}")
def designed(request, tmp_path_factory):
    """Each design once: (its parameters, the file, what design printed)."""
    path, printed = design(tmp_path_factory.mktemp("design"), *request.param)
    return request.param, path, printed


def test_design_is_read_by_iqenv_and_shown_back(designed):
    (samplerate, frequency, bandwidth, extra), path, designed = designed
    status, report = iqenv_on(path)
    assert status == 0 and len(report) == 4
    assert designed.splitlines()[:4] == report
    shown = run([TOOL, "show", "--taps", str(path)])
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
        ("--samplerate", "93"): config_bytes(f32_bits(1e5), 93, 1, ONE_TAP),
        ("--frequency", "1e39"): config_bytes(0x7F800000, 2400000, 1, ONE_TAP),
        ("--taps", "0"): config_bytes(f32_bits(1e5), 2400000, 0),
    }
    for (option, value), equivalent in refusals.items():
        reference = tmp_path / "reference.bin"
        reference.write_bytes(equivalent)
        message = iqenv_on(reference)[1][-1]
        arguments = {"--samplerate": "2400000", "--frequency": "1e5", "--bandwidth": "2e4"}
        arguments[option] = value
        out = tmp_path / "new.bin"
        result = run([TOOL, "design", "-o", str(out)] + [x for kv in arguments.items() for x in kv])
        assert (result.returncode, result.stderr.strip()) == (2, message)
        assert not out.exists()

    for bad in (["--bandwidth", "0"], ["--bandwidth", "1.2e6"], ["--window", "nope"],
                ["--gain", "-1"], ["--samplerate", "2.5"]):
        args = {"--samplerate": "2400000", "--frequency": "1e5", "--bandwidth": "2e4"}
        args[bad[0]] = bad[1]
        result = run([TOOL, "design", "-o", str(tmp_path / "x.bin")] +
                     [x for kv in args.items() for x in kv])
        assert result.returncode == 2 and result.stderr.startswith("Error: ")


def test_designed_taps_pass_the_band_and_reject_the_image_in_iqenv(tmp_path):
    """End to end through iqenv: a tone at the mixer passes, the same tone at its image not."""
    path, _ = design(tmp_path, 2400000, 100e3, 20e3, [])
    amplitudes = []
    for offset in (100e3, -100e3):
        iq = iqsignals.am_signal(2400000, 0.25, offset, 1000.0, 0.5)
        result = subprocess.run([IQENV, str(path)], input=iq.tobytes(), capture_output=True)
        assert result.returncode == 0
        values = np.frombuffer(result.stdout, dtype=np.float32)
        amplitudes.append(iqsignals.tone_of(values[len(values) // 4:])[1])
    # Depth 0.5 of amplitude 1, halved by the cosine, times 10000.
    assert amplitudes[0] == pytest.approx(2500, rel=0.05)
    assert amplitudes[1] < amplitudes[0] * 10 ** (-55 / 20)


def test_plot_writes_a_png_and_refuses_like_iqenv(tmp_path):
    path, _ = design(tmp_path, 2400000, 100e3, 20e3, [])
    png = tmp_path / "response.png"
    result = run([TOOL, "plot", str(path), "-o", str(png)])
    assert result.returncode == 0, result.stderr
    import matplotlib.image
    height, width = matplotlib.image.imread(png).shape[:2]
    assert width >= 800 and height >= 600

    path.write_bytes(BAD_FILES["truncated at tap 2"])
    result = run([TOOL, "plot", str(path), "-o", str(tmp_path / "no.png")])
    assert (result.returncode, result.stderr.splitlines()) == iqenv_on(path)
    assert not (tmp_path / "no.png").exists()
