"""iqenv-config design, measured through iqenv itself: the promise kept, beats refused."""
import re

import numpy as np
import pytest
from conftest import IQENV, TOOL, hertz, magnitudes, measured_levels, run, taps_of, values


def tool(*args):
    return run([TOOL, *map(str, args)], text=True)


# name: (sample rate, arguments, most taps allowed, mixer expected or None)
DESIGNS = {
    "demo scene": (2400000, ["--center", "280e3"], 8, 280e3),
    "demo scene, 100 dB": (2400000, ["--center", "280e3", "--rejection", "100"], 16, 280e3),
    "near DC": (2400000, ["--center", "4.5e3"], None, 0.0),
    "narrow channel": (1024000, ["--center", "100e3", "--bandwidth", "4e3"], None, None),
    "decimated first": (20000000, ["--center", "1.5e6"], 8, 1.5e6),
    "below the tuned centre": (250000, ["--center=-30e3", "--bandwidth", "12e3",
                                        "--gain", "1e-4"], None, None),
}


_made = {}


def designed_by_name(name, tmp_path_factory):
    """Each design once per run: (rate, arguments, most taps, mixer, file, what design said)."""
    if name not in _made:
        samplerate, args, most, mixer = DESIGNS[name]
        path = tmp_path_factory.mktemp("design") / "c.cfg"
        result = tool("design", "-o", path, "--samplerate", samplerate, *args)
        assert result.returncode == 0, result.stderr
        _made[name] = samplerate, args, most, mixer, path, result.stdout
    return _made[name]


@pytest.fixture(params=sorted(DESIGNS))
def designed(request, tmp_path_factory):
    return designed_by_name(request.param, tmp_path_factory)


def promise(printed):
    """(centre, bandwidth, level dB, ripple dB, rejection dB, where the design says is worst)."""
    lo, hi, ripple, level = re.search(
        r"Channel : (\S+ \S+) to (\S+ \S+) \(.*\), within (\S+) dB of (\S+) dB", printed).groups()
    rejection, worst = re.search(
        r"Rejection : at least (\S+) dB .* at (\S+ \S+)\)", printed).groups()
    lo, hi = hertz(lo), hertz(hi)
    return (lo + hi) / 2, hi - lo, float(level), float(ripple), float(rejection), hertz(worst)


def test_design_keeps_its_promise_through_iqenv(designed):
    samplerate, args, most, mixer, path, printed = designed
    taps, count = taps_of(path), int(re.search(r"Design: (\d+) taps", printed).group(1))
    assert len(taps) == count and (most is None or count <= most)
    chosen = float(np.frombuffer(path.read_bytes(), "<f4", count=1)[0])
    assert mixer is None or abs(chosen) == mixer
    centre, bandwidth, level, ripple, rejection, worst = promise(printed)

    # Across the pass band; just beyond one bandwidth both sides; the image and the worst point
    # the design names; and spread over the whole band.
    fs = samplerate
    edge = np.linspace(-0.49, 0.49, 7) * bandwidth
    beyond = np.array([-1.02, 1.02, -1.5, 1.5, -3, 3]) * bandwidth
    spread = np.random.default_rng(1).uniform(-fs / 2, fs / 2, 12)
    stop = np.concatenate((centre + beyond, [-centre, worst], spread))
    stop = stop[np.abs((stop - centre + fs / 2) % fs - fs / 2) > bandwidth]
    measured = measured_levels(path, fs, np.concatenate((centre + edge, stop)))
    passband, stopband = measured[:len(edge)], measured[len(edge):]

    # The level at the centre is the gain asked for; the measurement itself holds to 0.05 dB.
    assert passband[len(edge) // 2] == pytest.approx(level, abs=0.05)
    assert np.all(np.abs(passband - level) <= ripple + 0.05)
    assert np.all(stopband <= level - rejection + 0.05)
    # And show's worst point is where the design said, as iqenv measures it.
    shown = tool("show", path).stdout
    shown_db, at = re.search(r"Worst rejection .* : (\S+) dB, at (\S+ \S+)", shown).groups()
    at_level = measured_levels(path, fs, [hertz(at)])[0]
    assert at_level - level == pytest.approx(-float(shown_db), abs=1.0)


def beat_ripple(path, samplerate, tone):
    """Peak-to-peak over mean of iqenv's magnitude for a steady tone."""
    t = np.arange(int(0.1 * samplerate)) / samplerate
    result = run([IQENV, str(path)], np.exp(2j * np.pi * tone * t).astype(np.complex64).tobytes())
    m = magnitudes(values(result.stdout))[800:-200]
    return (m.max() - m.min()) / m.mean()


def test_a_mixer_that_beats_is_refused_and_shown(tmp_path, tmp_path_factory):
    """A remote at +4.5 kHz: a mixer there puts the second product at 9 kHz, inside the band."""
    refused = tmp_path / "refused.cfg"
    result = tool("design", "-o", refused, "--samplerate", 2400000, "--center", "4.5e3",
                  "--frequency", "4.5e3")
    assert result.returncode == 2 and not refused.exists()
    assert re.fullmatch(r"Error: .*beat at 9000 Hz.*the mixer at 0 \(--frequency 0\).*\n",
                        result.stderr)

    # The design's own choice, the mixer at 0, gives a steady level...
    good = designed_by_name("near DC", tmp_path_factory)[4]
    assert "Warning" not in tool("show", good).stdout
    assert beat_ripple(good, 2400000, 4.5e3) < 0.01
    # ... and the same taps with the mixer at 4.5 kHz beat in iqenv, as show warns.
    bad = tmp_path / "bad.cfg"
    data = bytearray(good.read_bytes())
    data[:4] = np.float32(4.5e3).tobytes()
    bad.write_bytes(bytes(data))
    assert re.search(r"Warning: .* beat at 9 kHz", tool("show", bad).stdout)
    assert beat_ripple(bad, 2400000, 4.5e3) > 0.5


@pytest.mark.parametrize("args, hint", [
    (["--center", "280e3", "--bandwidth", "30e3"], r"--bandwidth 20\d00 or less"),
    (["--center", "6e3", "--frequency", "12e3", "--bandwidth", "12e3"],
     r"lands at -12000 to 0 Hz, beyond the \+-10\d+ Hz the resampler keeps flat; what "
     r"would work: --bandwidth \d+ or less with this mixer"),
    (["--center", "280e3", "--rejection", "0"], r"Rejection must be above 0"),
    (["--center", "280e3", "--bandwidth", "0"], r"Bandwidth must be above 0"),
    (["--center", "280e3", "--gain", "-1"], r"Gain must be a finite number above 0"),
    (["--bandwidth", "10e3"], r"Give --center"),
    (["--center", "1e5", "--bandwidth", "300"], r"needs more than 4096 taps"),
])
def test_refusals_say_why_and_what_would_work(tmp_path, args, hint):
    out = tmp_path / "c.cfg"
    result = tool("design", "-o", out, "--samplerate", 2400000, *args)
    assert (result.returncode, result.stdout, out.exists()) == (2, "", False)
    assert re.fullmatch(r"Error: [^\n]+\n", result.stderr) and re.search(hint, result.stderr)


def test_given_tap_count_is_kept_and_the_shortfall_said(tmp_path):
    out = tmp_path / "c.cfg"
    result = tool("design", "-o", out, "--samplerate", 2400000, "--center", "280e3",
                  "--taps", "2")
    assert result.returncode == 0 and len(taps_of(out)) == 2
    assert "Note: 2 taps do not keep this promise" in result.stdout
