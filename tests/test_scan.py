"""iqenv-config scan on recordings made the way receivers make them: 8-bit, clipped, a DC
offset that wanders, noise, and remotes keyed on and off at offsets near and far from 0 Hz."""
import glob
import json
import os
import re

import numpy as np
import pytest
import scipy.signal
from conftest import (CORPUS, IQENV, TOOL, hertz, iqsignals, json_lines, measured_levels, run,
                      taps_of, values)

import keyed
from iqenvconfig import pipeline
from iqenvconfig.design import default_bandwidth, widest_bandwidth
from iqenvconfig.units import format_hz, signed_hz

CODE = [int(b) for b in f"{0xA5C3B6:024b}"]
SHORT_PULSE = 300e-6
# Accuracy promised here: offsets within 100 Hz, first bursts within 1 ms, bandwidth within 15 %
# of the clean signal's own 90 % band, and power within 1 dB, 2 dB within 10 kHz of 0 Hz (where
# taking out the DC offset takes some of the signal too), for signals that do not clip.
OFFSET_HZ, START_S, BANDWIDTH = 100.0, 1e-3, 0.15


def scan(*args):
    return run([TOOL, "scan", *map(str, args)], text=True)


def amplitude(samplerate, sigma, snr_db):
    """Pulse amplitude for `snr_db` over the noise in the short pulse's band (2 / pulse)."""
    noise_in_band = 2 * sigma ** 2 * (2 / SHORT_PULSE) / samplerate
    return np.sqrt(10 ** (snr_db / 10) * noise_in_band)


def scene(samplerate, seconds, sigma, transmitters, seed):
    """Noise (`sigma` per component), a wandering DC offset and the transmitters, as floats
    with full scale at 1; and each
    transmitter's clean signal. A transmitter: (offset, amplitude, start, unit, bits, frames)."""
    n = int(seconds * samplerate)
    t = np.arange(n) / samplerate
    dc = (0.12 - 0.07j) * (1 + 0.2 * np.sin(2 * np.pi * 2.5 * t))
    iq = iqsignals.complex_noise(n, sigma, seed) + dc.astype(np.complex64)
    clean = []
    for offset, amplitude, start, unit, bits, frames in transmitters:
        on = keyed.fixed_code(bits, unit * samplerate, frames)
        envelope = np.zeros(n, dtype=np.float32)
        a = int(start * samplerate)
        envelope[a:a + len(on)] = on[:n - a]
        clean.append(iqsignals.carrier(samplerate, offset, amplitude * envelope))
        iq += clean[-1]
    return iq, clean


def occupied_band(clean, samplerate):
    """The band holding 90 % of a clean signal's power, 5 % left out on either side."""
    length = 1 << int(np.ceil(np.log2(samplerate * 0.05)))  # 20 Hz apart or closer
    f, psd = scipy.signal.welch(clean, samplerate, nperseg=length, return_onesided=False)
    order = np.argsort(f)
    f, psd = f[order], psd[order]
    cumulative = np.cumsum(psd) / psd.sum()
    lo, hi = np.interp([0.05, 0.95], cumulative, f)
    return hi - lo


# Rate, format, seconds, noise per component (0.7: with the strong transmitter, a fifth of
# the 8-bit values clip), and three transmitters that never key at once: a weak one (SNR 20 dB)
# with 300 us pulses, a strong one (CLIPPING) that drives the converter into clipping, which
# makes copies of it and shifts the DC offset while it is on, and one with 4 ms pulses a few
# kHz from the DC spike. A transmitter: offset, SNR (dB over the noise in 2 / 300 us),
# start, keying unit, bits and frames. Each frame of a code is one burst: the pause that closes
# it is 31 units, 9.3 ms or more, and no pause within it is longer than 3 units, 4 ms.
CLIPPING = None
NEAR_DC = (4e-3 / 3, [1, 0, 1, 1])
CASES = {
    "2.4M-cu8": (2400000, "cu8", 0.6, 0.7, [(123e3, 20, 0.03, SHORT_PULSE, CODE, 3),
                                            (-300e3, CLIPPING, 0.16, 0.5e-3, CODE[:8], 4),
                                            (6.5e3, 26, 0.33, *NEAR_DC, 5)]),
    "2.4M-cf32": (2400000, "cf32", 0.6, 0.3, [(-87e3, 20, 0.45, SHORT_PULSE, CODE, 2),
                                              (40e3, CLIPPING, 0.02, 0.5e-3, CODE[:8], 4),
                                              (-9e3, 26, 0.22, *NEAR_DC, 3)]),
    "250k-cu8": (250000, "cu8", 1.5, 0.7, [(61e3, 20, 0.1, SHORT_PULSE, CODE, 3),
                                           (-33e3, CLIPPING, 0.6, 0.5e-3, CODE[:8], 5),
                                           (5e3, 26, 1.0, *NEAR_DC, 4)]),
    "2.4M-cs8": (2400000, "cs8", 0.6, 0.05, [(-37e3, 20, 0.16, SHORT_PULSE, CODE, 2),
                                             (210e3, CLIPPING, 0.04, 0.5e-3, CODE[:8], 4),
                                             (4.8e3, 26, 0.3, *NEAR_DC, 3)]),
    "250k-cs16": (250000, "cs16", 1.5, 0.3, [(-104e3, 20, 1.05, SHORT_PULSE, CODE, 2),
                                             (22e3, CLIPPING, 0.1, 0.5e-3, CODE[:8], 6),
                                             (-7e3, 26, 0.7, *NEAR_DC, 3)]),
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_scan_finds_every_transmitter_and_nothing_else(tmp_path, case):
    samplerate, fmt, seconds, sigma, transmitters = CASES[case]
    transmitters = [(f, 2.5 if snr is CLIPPING else amplitude(samplerate, sigma, snr), *rest)
                    for f, snr, *rest in transmitters]
    iq, clean = scene(samplerate, seconds, sigma, transmitters, seed=len(case))
    data = iqsignals.as_recorded(iq, fmt)
    if fmt == "cu8":  # as clipped as real captures get
        assert np.mean(np.isin(np.frombuffer(data, np.uint8), (0, 255))) > 0.15
    path = tmp_path / f"capture.{fmt}"  # the format from the name
    path.write_bytes(data)

    result = scan(path, "--samplerate", samplerate, "--json")
    assert result.returncode == 0, result.stderr
    listed = [s["power_db"] for s in json_lines(result.stdout)]
    assert listed == sorted(listed, reverse=True)  # in the order of the power shown
    found = sorted(json_lines(result.stdout), key=lambda s: s["offset_hz"])
    expected = sorted(zip(transmitters, clean), key=lambda tc: tc[0][0])
    assert len(found) == len(expected), found
    for s, ((offset, level, start, _, _, frames), signal) in zip(found, expected):
        assert abs(s["offset_hz"] - offset) <= OFFSET_HZ, s
        assert s["bursts"] == frames, s
        assert abs(s["start_s"] - start) <= START_S, s
        assert s["bandwidth_hz"] == pytest.approx(occupied_band(signal, samplerate),
                                                  rel=BANDWIDTH), s
        noise = 2 * sigma ** 2 / samplerate * s["bandwidth_hz"]
        if level < 1:  # what reaches full scale loses power to clipping
            assert s["power_db"] == pytest.approx(10 * np.log10(level ** 2 / noise),
                                                  abs=2 if abs(offset) < 10e3 else 1), s


def test_refusals_are_clear_errors_and_high_rates_are_not_refused(tmp_path):
    good = tmp_path / "noise.cu8"
    good.write_bytes(iqsignals.as_recorded(iqsignals.complex_noise(600000, 0.3, 1), "cu8"))
    short = tmp_path / "short.cs8"
    short.write_bytes(bytes(2 * 1000))
    refusals = {
        (good, "--samplerate", "0"): 2,
        (good, "--samplerate", "250000", "--format", "cu12"): 2,
        (tmp_path / "missing.cu8", "--samplerate", "250000"): 1,
        (tmp_path, "--samplerate", "250000"): 1,
        (short, "--samplerate", "250000"): 1,
    }
    for args, status in refusals.items():
        result = scan(*args)
        assert (result.returncode, result.stdout) == (status, ""), args
        assert result.stderr.startswith("Error: ") and result.stderr.count("\n") == 1, args
    assert "too short" in scan(*list(refusals)[-1]).stderr

    # 61.44 MS/s: 600000 samples are 10 ms, few frames but enough; nothing there but noise.
    # A silent recording has no noise floor to stand above, and nothing to say about it.
    silent = tmp_path / "silent.cf32"
    silent.write_bytes(bytes(8 * 100000))
    for args in ((good, "--samplerate", "61.44e6"), (silent, "--samplerate", "250000")):
        result = scan(*args)
        assert (result.returncode, result.stderr) == (0, "")
        assert result.stdout.endswith("No signals found.\n")


def test_plot_draws_the_recording_with_what_scan_finds(tmp_path):
    import matplotlib.image

    samplerate, sigma = 2400000, 0.7
    transmitter = (123e3, amplitude(samplerate, sigma, 20), 0.03, SHORT_PULSE, CODE, 3)
    path = tmp_path / "capture.cu8"
    iq = scene(samplerate, 0.2, sigma, [transmitter], seed=3)[0]
    path.write_bytes(iqsignals.as_recorded(iq, "cu8"))
    png = tmp_path / "spectrogram.png"
    options = ["--recording", path, "--samplerate", samplerate, "-o", png]
    plot = run([TOOL, "plot", *map(str, options)], text=True)
    assert plot.returncode == 0, plot.stderr
    table = scan(path, "--samplerate", samplerate).stdout.splitlines()[1:]
    assert len(table) == 2 and plot.stdout.splitlines() == table + [f"Wrote {png}"]
    height, width = matplotlib.image.imread(png).shape[:2]
    assert width >= 800 and height >= 600

    # A configuration and a recording at once is a usage error.
    both = run([TOOL, "plot", str(tmp_path / "some.cfg"), *map(str, options)], text=True)
    assert both.returncode == 2 and both.stderr.startswith("Error: ")


def test_design_for_a_recording_takes_the_keyed_signal_and_iqenv_decodes_it(tmp_path):
    """A steady carrier 20 dB stronger is not what an envelope follows: the remote is. (Kept
    below full scale: a carrier that clipped would hide what is 20 dB weaker.)"""
    samplerate, sigma, offset = 250000, 0.3, -41e3
    remote_tx = (offset, amplitude(samplerate, sigma, 25), 0.05, 350e-6, CODE, 3)
    iq, _ = scene(samplerate, 0.5, sigma, [remote_tx], seed=5)
    iq += iqsignals.carrier(samplerate, 75e3, np.full(len(iq), 10 * remote_tx[1], np.float32))
    path = tmp_path / "capture.cu8"
    path.write_bytes(iqsignals.as_recorded(iq / 16, "cu8"))
    cfg = tmp_path / "remote.cfg"
    result = run([TOOL, "design", "-o", str(cfg), "--samplerate", str(samplerate),
                  "--recording", str(path), "--gain", "1e-4"], text=True)
    assert result.returncode == 0, result.stderr
    found = json_lines(scan(path, "--samplerate", samplerate, "--json").stdout)
    chosen = min(found, key=lambda s: abs(s["offset_hz"] - offset))
    assert len(found) == 2 and abs(chosen["offset_hz"] - offset) <= OFFSET_HZ
    lo, hi = (hertz(h) for h in re.search(r"Channel : (\S+ \S+) to (\S+ \S+)",
                                            result.stdout).groups())
    assert (lo + hi) / 2 == pytest.approx(chosen["offset_hz"], abs=1)
    # The carrier is far: nothing narrows the first channel, and the second is matched to the
    # remote's 350 us elements.
    assert f"bandwidth {format_hz(widest_bandwidth(samplerate))} (widest" in result.stdout
    element = float(re.search(r"Matched channel: \S+ \S+ for (\d+) us elements \(2 / element\)",
                              result.stdout).group(1))
    assert element == pytest.approx(350, rel=0.03)
    assert hi - lo == pytest.approx(2e6 / element, rel=0.01)

    # iqenv with that configuration gives back every press of the code.
    received = np.frombuffer(path.read_bytes(), np.uint8).astype(np.float32)
    cf32 = ((received - 127.5) / 127.5).tobytes()
    [found] = pipeline.read_bursts([values(run([IQENV, str(cfg)], cf32).stdout)])
    # rtl_433's PWM: a short pulse is 1, and the sync mark's short pulse ends each row.
    assert found.analysis.best.rows == ["".join(str(1 - b) for b in CODE) + "1"] * 3

    for extra, status in ((["--center", "1e3"], 2), (["--recording", str(tmp_path)], 1)):
        refused = run([TOOL, "design", "-o", str(cfg), "--samplerate", str(samplerate),
                       "--recording", str(path), *extra], text=True)
        assert refused.returncode == status and refused.stderr.startswith("Error: ")


@pytest.mark.parametrize("clipped", [0.02, 0.25])
def test_a_steady_carrier_that_clips_hides_no_remote_and_adds_no_signal(tmp_path, clipped):
    """The demo's scene as a receiver records it, turned up until `clipped` of the bytes sit at
    0 or 255: the carrier 20 dB above the remote clips all the time, or only while the remote
    is on. Its products, and the remote's intermodulation with it, are no signals; the carrier
    is steady, the remote keys."""
    import demo

    iq = demo.scene()

    def recorded(scale):
        return iqsignals.as_recorded(iq * scale, "cu8")

    lo, hi = 0.1, 1.0  # the scale that clips as much as asked, by bisection
    for _ in range(30):
        mid = (lo + hi) / 2
        share = np.mean(np.isin(np.frombuffer(recorded(mid), np.uint8), (0, 255)))
        lo, hi = (mid, hi) if share < clipped else (lo, mid)
    path = tmp_path / "capture.cu8"
    path.write_bytes(recorded(hi))

    result = scan(path, "--samplerate", demo.SAMPLERATE, "--json")
    assert result.returncode == 0, result.stderr
    found = sorted(json_lines(result.stdout), key=lambda s: s["offset_hz"])
    assert [(round(s["offset_hz"], -3), s["bursts"], s["steady"]) for s in found] == [
        (round(demo.CARRIER_OFFSET, -3), 1, True),
        (round(demo.OFFSET, -3), demo.FRAMES, False)], found


def test_design_for_a_recording_is_as_wide_as_its_neighbours_allow(tmp_path):
    """The demo's remote alone in reach: the widest channel, a handful of taps, and iqenv gives
    back every press. A slightly weaker remote 20 kHz above it: a narrower channel, still wider than
    the remote's keying needs, beyond which the neighbour lies, rejected through iqenv."""
    import demo

    iq = demo.scene()
    neighbour = np.zeros(len(iq), np.float32)
    on = keyed.fixed_code(CODE[:8], 0.5e-3 * demo.SAMPLERATE, 3)
    start = int(0.03 * demo.SAMPLERATE)
    neighbour[start:start + len(on)] = on
    scenes = {"alone": iq, "neighbour": iq + iqsignals.carrier(
        demo.SAMPLERATE, demo.OFFSET + 20e3, 0.25 * neighbour)}
    channels = {}
    for name, scene_iq in scenes.items():
        path, cfg = tmp_path / f"{name}.cf32", tmp_path / f"{name}.cfg"
        path.write_bytes(scene_iq.tobytes())
        result = run([TOOL, "design", "-o", str(cfg), "--samplerate", str(demo.SAMPLERATE),
                      "--recording", str(path)], text=True)
        assert result.returncode == 0, result.stderr
        lo, hi = (hertz(h) for h in re.search(r"Channel : (\S+ \S+) to (\S+ \S+)",
                                                result.stdout).groups())
        channels[name] = cfg, (lo + hi) / 2, hi - lo, result.stdout
        by = re.search(r"narrowed to \S+ \S+ by the signal at \+(\S+ \S+)\)", result.stdout)
        assert (by is None) == (name == "alone")
        assert by is None or hertz(by.group(1)) == pytest.approx(demo.OFFSET + 20e3, abs=OFFSET_HZ)
        found = json_lines(scan(path, "--samplerate", demo.SAMPLERATE, "--json").stdout)
        ours = min(found, key=lambda s: abs(s["offset_hz"] - demo.OFFSET))
        assert (lo + hi) / 2 == pytest.approx(ours["offset_hz"], abs=1)
        assert hi - lo >= 2 * ours["bandwidth_hz"]

    # Alone, nothing narrows the first channel; the second is as narrow as keeps iqenv within
    # half a core at 2.4 MS/s, wider than its elements alone would take.
    cfg, centre, width, said = channels["alone"]
    assert f"bandwidth {format_hz(widest_bandwidth(demo.SAMPLERATE))} (widest" in said
    matched = re.search(r"\((\d+) Hz matched: the narrowest near it that designs and keeps iqenv "
                        r"within 50% of a core\); (\d+) taps", said)
    assert float(matched.group(1)) < width < widest_bandwidth(demo.SAMPLERATE)
    assert len(taps_of(cfg)) == int(matched.group(2))
    read = run([TOOL, "pulses", "-", "--json"], run([IQENV, str(cfg)], iq.tobytes()).stdout)
    rows = [row for burst in json_lines(read.stdout.decode()) for row in burst["rows"]]
    assert rows == ["".join(map(str, demo.BITS))] * demo.FRAMES

    cfg, centre, width, _ = channels["neighbour"]
    band = occupied_band(iqsignals.carrier(demo.SAMPLERATE, 0, neighbour), demo.SAMPLERATE)
    nearest = demo.OFFSET + 20e3 - band / 2
    assert width < widest_bandwidth(demo.SAMPLERATE) and nearest - centre > width
    tones = [centre, nearest, demo.OFFSET + 20e3, demo.OFFSET + 20e3 + band / 2]
    levels = measured_levels(cfg, demo.SAMPLERATE, tones)
    assert np.all(levels[1:] <= levels[0] - 79), levels


def test_design_for_a_recording_near_0_hz_keeps_to_what_the_centre_allows(tmp_path):
    """A remote at +6 kHz and a weaker one 20 kHz above it, at 250 kS/s: the neighbour is
    farther than the narrower channel that a centre this near 0 Hz allows, and that channel is
    designed rather than refused."""
    samplerate, sigma = 250000, 0.01
    near = (6e3, amplitude(samplerate, sigma, 40), 0.02, 350e-6, CODE, 3)
    neighbour = (26e3, amplitude(samplerate, sigma, 36), 0.05, 350e-6, CODE, 3)
    iq, _ = scene(samplerate, 0.4, sigma, [near, neighbour], seed=4)
    path, cfg = tmp_path / "capture.cf32", tmp_path / "remote.cfg"
    path.write_bytes(iq.tobytes())
    result = run([TOOL, "design", "-o", str(cfg), "--samplerate", str(samplerate),
                  "--recording", str(path)], text=True)
    assert result.returncode == 0, result.stderr
    lo, hi = (hertz(h) for h in re.search(r"Channel : (\S+ \S+) to (\S+ \S+)",
                                            result.stdout).groups())
    # The first channel is the default this near 0 Hz; the second is matched to the elements.
    width = hertz(re.search(r"bandwidth (\S+ \S+) \(", result.stdout).group(1))
    assert (lo + hi) / 2 == pytest.approx(near[0], abs=OFFSET_HZ)
    assert width == pytest.approx(default_bandwidth((lo + hi) / 2, samplerate), abs=1)
    assert width < widest_bandwidth(samplerate)
    assert "Matched channel: " in result.stdout and hi - lo < width


def test_a_remote_beside_0_hz_is_one_signal_and_its_channel_is_not_narrowed(tmp_path):
    """A remote 1.2 kHz from 0 Hz at 250 kS/s lies on both sides of the bin scan leaves out
    there: one transmitter, one row; design --recording takes the widest channel, and puts no
    notch at 0 Hz where the notch would take some of the signal's band."""
    samplerate, sigma = 250000, 0.01
    tx = (1.2e3, amplitude(samplerate, sigma, 40), 0.02, 400e-6, CODE, 4)
    iq, _ = scene(samplerate, 0.4, sigma, [tx], seed=2)
    path, cfg = tmp_path / "capture.cf32", tmp_path / "remote.cfg"
    path.write_bytes(iq.tobytes())
    found = json_lines(scan(path, "--samplerate", samplerate, "--json").stdout)
    assert len(found) == 1 and abs(found[0]["offset_hz"] - tx[0]) <= OFFSET_HZ, found
    result = run([TOOL, "design", "-o", str(cfg), "--samplerate", str(samplerate),
                  "--recording", str(path)], text=True)
    assert result.returncode == 0, result.stderr
    assert "(widest channel: nothing else within reach)" in result.stdout
    assert "no notch at 0 Hz: the signal's band reaches" in result.stdout
    # Offsets read in one unit style: a million hertz less a rounding is 1 MHz, not 1000 kHz.
    assert signed_hz(999999.7) == "+1 MHz" and signed_hz(-1238.3e3) == "-1.2383 MHz"


@pytest.mark.parametrize("offset", [-3.3e3, 40e3])
def test_a_long_dense_keyed_transmission_is_keyed_and_design_takes_it(tmp_path, offset):
    """A remote that sends its code over and over for nearly the whole recording, its carrier
    left at a sixth of its amplitude between pulses (as cheap remotes leak), so strong that it
    clips the converter and moves the DC offset while it is on; 3.3 kHz from 0 Hz, where the
    DC offset leaks into its bins, or far from it. It keys, what its clipping makes is no
    signal (it comes and goes within the remote's one burst), and design --recording takes it."""
    samplerate, sigma, seconds = 250000, 0.02, 2.0
    n = int(seconds * samplerate)
    start, train = int(0.03 * n), keyed.fixed_code(CODE, 700e-6 * samplerate, 30)[:int(0.94 * n)]
    on, sending = np.zeros(n, np.float32), np.zeros(n, np.float32)
    on[start:start + len(train)], sending[start:start + len(train)] = train, 1
    iq = (iqsignals.complex_noise(n, sigma, 8) + (0.05 - 0.03j) + 0.03 * on
          + iqsignals.carrier(samplerate, offset, 1.2 * (0.16 * sending + 0.84 * on)))
    path = tmp_path / "capture.cu8"
    path.write_bytes(iqsignals.as_recorded(iq, "cu8"))
    assert np.mean(np.isin(np.frombuffer(path.read_bytes(), np.uint8), (0, 255))) > 0.1

    found = json_lines(scan(path, "--samplerate", samplerate, "--json").stdout)
    assert [(abs(s["offset_hz"] - offset) <= OFFSET_HZ, s["steady"]) for s in found] == [
        (True, False)], found
    result = run([TOOL, "design", "-o", str(tmp_path / "remote.cfg"), "--samplerate",
                  str(samplerate), "--recording", str(path)], text=True)
    assert result.returncode == 0, result.stderr
    centre = re.search(r"the strongest that keys on and off: centre (\S+ [kM]?Hz)", result.stdout)
    assert centre and hertz(centre.group(1)) == pytest.approx(offset, abs=OFFSET_HZ)


def test_a_weak_carrier_is_steady_though_it_sinks_while_a_remote_clips(tmp_path):
    """A carrier 10 dB over the noise in a frame's bin, near the weakest scan finds, beside a
    remote that clips the converter while it is on: the carrier sinks then, and stays steady."""
    samplerate, sigma, offset = 250000, 0.05, -60e3
    iq, _ = scene(samplerate, 1.0, sigma, [(40e3, 2.0, 0.1, 500e-6, CODE, 8)], seed=1)
    iq += iqsignals.carrier(samplerate, offset,
                            np.full(len(iq), amplitude(samplerate, sigma, 10), np.float32))
    path = tmp_path / "capture.cu8"
    path.write_bytes(iqsignals.as_recorded(iq, "cu8"))
    found = sorted(json_lines(scan(path, "--samplerate", samplerate, "--json").stdout),
                   key=lambda s: s["offset_hz"])
    assert [(round(s["offset_hz"], -2), s["steady"]) for s in found] == [
        (offset, True), (40e3, False)], found


# Frequency-keyed transmitters at 250 kS/s: tones (hertz) and element (seconds). Far apart, the
# tones are two signals to the spectrum; close, one band that holds both.
FSK = {"tones apart": ((-45e3, 30e3), 52e-6), "tones in one band": ((10e3, 30e3), 100e-6)}


@pytest.mark.parametrize("case", sorted(FSK))
def test_a_frequency_keyed_transmitter_is_one_signal_and_design_takes_one_tone(tmp_path, case):
    """Tones keyed in turn, 20 dB above the noise in the band of one element: one row, with
    its tones, shift and shortest element; annotations that span both tones; and a channel
    that passes the strongest tone and rejects the other."""
    (low, high), element = FSK[case]
    samplerate, amplitude = 250000, 0.5
    bits = [1, 0] * 8 + [int(b) for b in np.random.default_rng(7).integers(0, 2, 64)]
    iq = amplitude * iqsignals.frequency_keyed(samplerate, (low, high), bits, element,
                                               repeats=3, jitter=0.1)
    sigma = np.sqrt(amplitude ** 2 / 10 ** 2 * samplerate * element / 4)
    path = tmp_path / "sensor.cu8"
    iq += iqsignals.complex_noise(len(iq), sigma, 3)
    path.write_bytes(iqsignals.as_recorded(iq, "cu8"))

    found = json_lines(scan(path, "--samplerate", samplerate, "--json").stdout)
    assert len(found) == 1 and found[0]["fsk"] is not None, found
    s, fsk = found[0], found[0]["fsk"]
    shift = high - low
    offsets = sorted(t["offset_hz"] for t in fsk["tones"])
    assert offsets == pytest.approx([low, high], abs=0.01 * shift), fsk
    assert fsk["shift_hz"] == pytest.approx(shift, rel=0.02)
    assert fsk["element_us"] == pytest.approx(element * 1e6, rel=0.03)
    assert s["bursts"] == 3
    strongest = fsk["tones"][0]
    assert (s["offset_hz"], s["bandwidth_hz"]) == (strongest["offset_hz"],
                                                   strongest["bandwidth_hz"])

    table = scan(path, "--samplerate", samplerate, "--annotate").stdout.splitlines()
    said = re.fullmatch(r"    FSK: tones at (\S+ \S+) and (\S+ \S+) \(shift (\S+ \S+)\), "
                        r"shortest element (\d+) us", table[3])
    assert said, table
    assert [hertz(h) for h in said.groups()[:3]] == pytest.approx(
        [t["offset_hz"] for t in fsk["tones"]] + [fsk["shift_hz"]], rel=1e-5)
    assert int(said.group(4)) == round(fsk["element_us"])
    marks = json.loads((tmp_path / "sensor.sigmf-meta").read_text())["annotations"]
    assert len(marks) == 3 and all(m["core:label"] == "signal 1 (FSK)" for m in marks)
    assert all(m["core:freq_lower_edge"] < low < high < m["core:freq_upper_edge"] for m in marks)

    cfg = tmp_path / "sensor.cfg"
    result = run([TOOL, "design", "-o", str(cfg), "--recording", str(path), "--samplerate",
                  str(samplerate)], text=True)
    assert result.returncode == 0, result.stderr
    other = next(t["offset_hz"] for t in fsk["tones"][1:])
    levels = measured_levels(cfg, samplerate, [strongest["offset_hz"], other])
    assert levels[1] <= levels[0] - 60, levels


@pytest.mark.parametrize("image", [False, True])
def test_signals_keyed_at_the_same_moments_are_not_one_frequency_keyed_transmitter(tmp_path,
                                                                                   image):
    """Two remotes 20 kHz apart that send at once, their bursts over the same spans, each
    with its own code; or a remote and its image, 3 dB weaker. They are on together, and
    silent together between pulses: two signals, neither frequency-keyed."""
    samplerate, sigma = 250000, 0.02
    level = amplitude(samplerate, sigma, 30)
    other = CODE if image else [int(b) for b in f"{0x3C96E1:024b}"]
    transmitters = [(-10e3, level, 0.03, SHORT_PULSE, CODE, 3),
                    (10e3, level / np.sqrt(2), 0.03 + (0 if image else 1e-4), SHORT_PULSE,
                     other, 3)]
    iq, _ = scene(samplerate, 0.4, sigma, transmitters, seed=6)
    path = tmp_path / "capture.cu8"
    path.write_bytes(iqsignals.as_recorded(iq, "cu8"))
    found = json_lines(scan(path, "--samplerate", samplerate, "--json").stdout)
    assert sorted(round(s["offset_hz"], -3) for s in found) == [-10e3, 10e3], found
    assert all(s["fsk"] is None for s in found), found
    spans = [s["burst_times_s"] for s in found]  # what frequency keying would give too
    assert all(abs(a[0] - b[0]) < 1e-3 and abs(a[1] - b[1]) < 1e-3 for a, b in zip(*spans))


# Recorded frequency-keyed sensors, with the shortest element rtl_433 -A measures in them (and
# the shift of the tire sensors' tones).
RECORDED = {"tpms_fsk/*.cu8": (52e-6, 76e3), "danfoss_CFR/*.data": (100e-6, None)}


# Recorded signals, where they are and whether they are steady: a remote that keys densely for
# nearly the whole recording, 3.3 kHz from 0 Hz, its carrier leaking between pulses; and a
# carrier that sinks each time a remote beside it clips the converter.
RECORDED_STEADY = {"cardin_01/S466-TX2_01.data": (-3.3e3, False),
                   "cardin_01/S466-TX2_02.data": (-3.3e3, False),
                   "silvercrest_01/gfile002.data": (-31e3, True)}


@pytest.mark.skipif(CORPUS is None, reason="the recordings are not beside the tree")
def test_recorded_keyed_signals_and_carriers_are_told_apart():
    paths = {os.path.join(CORPUS, name): want for name, want in RECORDED_STEADY.items()}
    result = scan(*paths, "--samplerate", 250000, "--format", "cu8", "--json")
    assert result.returncode == 0, result.stderr
    for path, (offset, steady) in paths.items():
        near = [s for s in json_lines(result.stdout)
                if s["file"] == path and abs(s["offset_hz"] - offset) < 1e3]
        assert [s["steady"] for s in near] == [steady], (path, result.stdout)


@pytest.mark.skipif(CORPUS is None, reason="the recordings are not beside the tree")
@pytest.mark.parametrize("files", sorted(RECORDED))
def test_recorded_frequency_keyed_sensors_are_one_transmitter_each(files):
    element, shift = RECORDED[files]
    paths = sorted(glob.glob(os.path.join(CORPUS, files)))
    result = scan(*paths, "--samplerate", 250000, "--format", "cu8", "--json")
    assert result.returncode == 0 and paths, result.stderr
    for path in paths:
        keyed = [s["fsk"] for s in json_lines(result.stdout)
                 if s["file"] == path and s["fsk"] is not None]
        assert len(keyed) == 1, (path, result.stdout)
        assert keyed[0]["element_us"] == pytest.approx(element * 1e6, rel=0.15), path
        assert shift is None or keyed[0]["shift_hz"] == pytest.approx(shift, rel=0.1), path
