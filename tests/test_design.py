"""iqenv-config design, measured through iqenv itself: the promise kept, beats refused."""
import re

import numpy as np
import pytest
from conftest import IQENV, TOOL, hertz, magnitudes, measured_levels, run, taps_of, values

import iqsignals
import keyed
from iqenvconfig import cli, plot


def tool(*args):
    return run([TOOL, *map(str, args)], text=True)


# name: (sample rate, arguments, most taps allowed, mixer expected or None)
DESIGNS = {
    "demo scene": (2400000, ["--center", "280e3"], 8, 280e3),
    "demo scene, 100 dB": (2400000, ["--center", "280e3", "--rejection", "100"], 16, 280e3),
    "near DC": (2400000, ["--center", "4.5e3"], None, 0.0),
    # The fit once raised the band beside the channel 8 dB above it here.
    "mixer at 0, 250 kS/s": (250000, ["--center", "4500", "--bandwidth", "8000"], None, 0.0),
    "narrow channel": (1024000, ["--center", "100e3", "--bandwidth", "4e3"], None, None),
    "decimated first": (20000000, ["--center", "1.5e6"], 8, 1.5e6),
    "below the tuned centre": (250000, ["--center=-30e3", "--bandwidth", "12e3",
                                        "--gain", "1e-4"], None, None),
    "matched to 500 us elements": (250000, ["--center", "40e3", "--element", "500"], None, None),
    # Once refused as needing more than 4096 taps: a point of the check grid a rounding beyond
    # the pass band's edge, at the edge's own level, counted as louder than the edge.
    "an edge a rounding off": (250000, ["--center", "40e3", "--bandwidth", "2315.27"], None,
                               None),
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
    """(centre, flat band, bandwidth, level dB, ripple dB, rejection dB, where the design says
    is worst, where it says the loudest tone outside the flat band is)."""
    lo, hi, ripple, level = re.search(
        r"Channel : (\S+ \S+) to (\S+ \S+) \(.*\), within (\S+) dB of (\S+) dB", printed).groups()
    loudest = re.search(r"Outside : no tone louder than the channel's edge .* at (\S+ \S+)\)",
                        printed).group(1)
    rejection, bandwidth, worst = re.search(
        r"Rejection : at least (\S+) dB beyond (\S+ \S+) from .* at (\S+ \S+)\)", printed).groups()
    lo, hi = hertz(lo), hertz(hi)
    return ((lo + hi) / 2, hi - lo, hertz(bandwidth), float(level), float(ripple),
            float(rejection), hertz(worst), hertz(loudest))


def test_design_keeps_its_promise_through_iqenv(designed):
    samplerate, args, most, mixer, path, printed = designed
    taps, count = taps_of(path), int(re.search(r"Design: (\d+) taps", printed).group(1))
    assert len(taps) == count and (most is None or count <= most)
    chosen = float(np.frombuffer(path.read_bytes(), "<f4", count=1)[0])
    assert mixer is None or abs(chosen) == mixer
    centre, flat, bandwidth, level, ripple, rejection, worst, loudest = promise(printed)

    # Across the pass band, its edges first; between it and one bandwidth, with the loudest
    # point the design names; just beyond one bandwidth both sides; the image and the worst
    # point the design names; and spread over the whole band.
    fs = samplerate
    edge = np.concatenate(([-0.5, 0.5], np.linspace(-0.49, 0.49, 7))) * flat
    between = np.concatenate((centre + np.outer([-1, 1], flat / 2 + np.linspace(
        0.02, 1, 3) * (bandwidth - flat / 2)).ravel(), [loudest]))
    beyond = np.array([-1.02, 1.02, -1.5, 1.5, -3, 3]) * bandwidth
    spread = np.random.default_rng(1).uniform(-fs / 2, fs / 2, 12)
    stop = np.concatenate((centre + beyond, [-centre, worst], spread))
    stop = stop[np.abs((stop - centre + fs / 2) % fs - fs / 2) > bandwidth]
    measured = measured_levels(path, fs, np.concatenate((centre + edge, between, stop)))
    passband, outside = measured[:len(edge)], measured[len(edge):len(edge) + len(between)]
    stopband = measured[len(edge) + len(between):]

    # The level at the centre is the gain asked for; the measurement itself holds to 0.05 dB.
    assert passband[2 + 3] == pytest.approx(level, abs=0.05)
    assert np.all(np.abs(passband - level) <= ripple + 0.05)
    # Nothing beside the channel comes through louder than its edge on that side.
    side = np.where((between - centre + fs / 2) % fs - fs / 2 > 0, passband[1], passband[0])
    assert np.all(outside <= side + 0.05)
    assert np.all(stopband <= level - rejection + 0.05)
    # And show's worst point is where the design said, as iqenv measures it.
    shown = tool("show", path).stdout
    shown_db, at = re.search(r"Worst rejection .* : (\S+) dB, at (\S+ \S+)", shown).groups()
    at_level = measured_levels(path, fs, [hertz(at)])[0]
    assert at_level - level == pytest.approx(-float(shown_db), abs=1.0)


def test_show_and_plot_draw_every_design(designed, tmp_path, monkeypatch, capsys):
    """The mixer at 0 has no image: plot once failed on such a layout. The commands, run as
    iqenv-config runs them: each panel holds the chain's curve and the taps' own across it,
    and show, told the channel, finds the rejection the design promised beyond it."""
    _, _, _, _, path, printed = designed
    centre, _, bandwidth, _, _, rejection = promise(printed)[:6]
    figures = []
    monkeypatch.setattr(plot.plt, "close", figures.append)
    assert cli.main(["plot", str(path), "-o", str(tmp_path / "c.png")]) == 0
    figure, = [f for f in figures if not isinstance(f, str)]  # not plt.close("all")
    for ax in figure.axes:
        curves = [line.get_xdata() for line in ax.get_lines() if len(line.get_xdata()) > 100]
        lo, hi = ax.get_xlim()
        assert len(curves) == 2 and all(c.min() <= lo + (hi - lo) / 50 and
                                        c.max() >= hi - (hi - lo) / 50 for c in curves)
    capsys.readouterr()
    assert cli.main(["show", str(path), "--center", str(centre), "--bandwidth",
                     str(bandwidth)]) == 0
    worst = re.search(r"Worst rejection beyond (\S+ \S+) from the centre : (\S+) dB",
                      capsys.readouterr().out)
    assert hertz(worst.group(1)) == pytest.approx(bandwidth) and float(worst.group(2)) >= rejection


def beat_ripple(path, samplerate, tone, dc=0.0):
    """Peak-to-peak over mean of iqenv's magnitude for a steady unit tone, with a DC offset."""
    t = np.arange(int(0.1 * samplerate)) / samplerate
    iq = (np.exp(2j * np.pi * tone * t) + dc).astype(np.complex64)
    result = run([IQENV, str(path)], iq.tobytes())
    m = magnitudes(values(result.stdout))[800:-200]
    return (m.max() - m.min()) / m.mean()


def test_a_mixer_that_beats_is_refused_and_shown(tmp_path, tmp_path_factory):
    """A remote at +4.5 kHz: a mixer there puts the second product at 9 kHz, inside the band."""
    refused = tmp_path / "refused.cfg"
    result = tool("design", "-o", refused, "--samplerate", 2400000, "--center", "4.5e3",
                  "--mixer", "4.5e3")
    assert result.returncode == 2 and not refused.exists()
    assert re.fullmatch(r"Error: .*beat at 9000 Hz.*the mixer at 0 \(--mixer 0\).*\n",
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
    # The taps rise where the resampler removed them under the mixer at 0: the file alone
    # leaves the channel ambiguous, and show says so; told the centre, it warns of the beat.
    assert "leaves the channel ambiguous" in tool("show", bad).stdout
    assert re.search(r"Warning: .* beat at 9 kHz", tool("show", bad, "--center", 4.5e3).stdout)
    assert beat_ripple(bad, 2400000, 4.5e3) > 0.5


@pytest.mark.parametrize("args, hint", [
    (["--center", "280e3", "--bandwidth", "30e3"], r"--bandwidth 20\d00 or less"),
    # --frequency, the mixer's older name, still serves; a negative mixer joins its option.
    (["--center", "6e3", "--frequency", "12e3", "--bandwidth", "12e3"],
     r"lands at -12000 to 0 Hz, beyond the \+-10\d+ Hz the resampler keeps flat; what "
     r"would work: --bandwidth \d+ or less with this mixer"),
    (["--center", "-6e3", "--mixer", "-12e3", "--bandwidth", "12e3"],
     r"the mixer at 12000 Hz the channel \(-12000 to 0 Hz\) lands at 0 to 12000 Hz"),
    (["--center", "280e3", "--rejection", "0"], r"Rejection must be above 0"),
    (["--center", "280e3", "--bandwidth", "0"], r"Bandwidth must be above 0"),
    (["--center", "280e3", "--gain", "-1"], r"Gain must be a finite number above 0"),
    (["--bandwidth", "10e3"], r"Give --center"),
    (["--center", "1e5", "--bandwidth", "300"], r"needs more than 4096 taps"),
    (["--center", "1e5", "--element", "500", "--bandwidth", "4e3"], r"give --element or"),
    (["--center", "1e5", "--element", "0"], r"--element must be above 0"),
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


def test_the_receivers_dc_offset_is_notched_unless_asked_not_to(tmp_path, tmp_path_factory):
    """A remote at +4.5 kHz with the mixer at 0: a DC offset 20 dB below it beats at 4.5 kHz
    by some 17 % peak to peak, unless the taps notch 0 Hz."""
    samplerate, args, _, _, notched, printed = designed_by_name("mixer at 0, 250 kS/s",
                                                                 tmp_path_factory)
    plain = tmp_path / "plain.cfg"
    result = tool("design", "-o", plain, "--samplerate", samplerate, *args, "--no-dc-notch")
    for said, shown in ((r": a notch there, \d+ dB down", printed), ("; no notch", result.stdout)):
        assert re.search(r"DC offset : 0 Hz is within 8 kHz of the centre" + said, shown)
    assert beat_ripple(notched, samplerate, 4500, 0.1) < 0.005
    assert beat_ripple(plain, samplerate, 4500, 0.1) > 0.1


def matched_width(printed):
    """The bandwidth design printed, and the matched channel's line."""
    line = re.search(r"^Matched channel: .*$", printed, re.M)
    return promise(printed)[2], line.group(0) if line else None


@pytest.mark.parametrize("samplerate, element, width, why", [
    (250000, 500, 4000, "2 / element"),
    # 1 kHz at 2.4 MS/s would take iqenv more than half a core: the narrowest that does not.
    (2400000, 2000, None, "1000 Hz matched: the narrowest near it that designs and keeps iqenv "
     "within 50% of a core"),
])
def test_a_channel_matched_to_its_elements_within_one_core(tmp_path, samplerate, element,
                                                            width, why):
    result = tool("design", "-o", tmp_path / "c.cfg", "--samplerate", samplerate, "--center",
                  "40e3", "--element", element, "--drift", 0)
    bandwidth, line = matched_width(result.stdout)
    assert result.returncode == 0 and f"({why})" in line, result.stdout
    cpu = float(re.search(r"iqenv about (\S+) s of CPU", line).group(1))
    if width:
        assert bandwidth == pytest.approx(width, rel=1e-3) and cpu <= 0.5
    else:
        assert 1000 < bandwidth < 20.9e3 and 0.4 < cpu <= 0.5
    # Elements too short to narrow the default channel leave it as it was.
    short = tool("design", "-o", tmp_path / "s.cfg", "--samplerate", samplerate, "--center",
                 "40e3", "--element", 50)
    assert "No channel matched to 50 us elements" in short.stdout
    assert matched_width(short.stdout) == (pytest.approx(20.9e3, rel=0.01), None)


def test_design_recording_measures_the_elements_it_matches(tmp_path):
    """A remote of 400 us pulses in noise: the second pass's channel is 2 / 400 us wide,
    and the drift given widens it."""
    device = keyed.Device("pwm_period", 400, [1, 0, 1, 1, 0, 0, 1, 0] * 3, repeats=3)
    iq = np.concatenate([keyed.recording(device, 250000, 40e3, 20.0, 20.9e3, lead=0.15,
                                         seed=seed) for seed in range(3)])
    path = tmp_path / "remote.cu8"
    path.write_bytes(iqsignals.as_recorded(iq, "cu8"))
    widths = []
    for drift in (0, 1000):
        result = tool("design", "-o", tmp_path / "c.cfg", "--recording", path, "--samplerate",
                      250000, "--drift", drift)
        bandwidth, line = matched_width(result.stdout)
        element = float(re.search(r"for (\d+) us elements", line).group(1))
        assert result.returncode == 0 and element == pytest.approx(400, rel=0.05), line
        widths.append(bandwidth)
    assert widths[0] == pytest.approx(2e6 / element, rel=0.01)
    assert widths[1] == pytest.approx(widths[0] + 1000, rel=0.01)
