"""iqenv-config pulses: iqenv's output sliced into pulses, the coding named, bits read, and
rtl_433 reading back the same bits from our pulse data and flex decoder."""
import json
import re
import subprocess

import numpy as np
import pytest
from conftest import IQENV, TOOL, hertz, run, values

import iqsignals
import keyed
from iqenvconfig import analysis, pulsereport, pulses, slicing

RATE = 250000
OUT = 24000  # iqenv's values per second
OFFSET = 37e3
CHANNEL = 20.9e3  # iqenv-config's default bandwidth, where the SNR is taken


@pytest.fixture(scope="module")
def channel(tmp_path_factory):
    """One design, for every device sent at OFFSET."""
    path = tmp_path_factory.mktemp("pulses") / "channel.cfg"
    result = run([TOOL, "design", "-o", str(path), "--samplerate", str(RATE), "--center",
                  str(OFFSET)], text=True)
    assert result.returncode == 0, result.stderr
    return path


def envelope(device, cfg, snr_db, seed=None):
    """iqenv's output for `device` recorded as cu8 at OFFSET with noise."""
    iq = keyed.recording(device, RATE, OFFSET, snr_db, CHANNEL, seed=seed)
    raw = np.frombuffer(iqsignals.as_recorded(iq, "cu8"), dtype=np.uint8)
    cf32 = ((raw.astype(np.float32) - 127.5) / 127.5).astype(np.float32)
    result = run([IQENV, str(cfg)], cf32.tobytes())
    assert result.returncode == 0, result.stderr
    return values(result.stdout)


def sliced(vals, chunk=1200):
    slicer = pulses.BurstReader()
    bursts = []
    for at in range(0, len(vals), chunk):
        bursts += slicer.feed(vals[at:at + chunk])
    return bursts + slicer.finish(), slicer


def expected_rows(device):
    """The rows as rtl_433's decoder for the coding reads them."""
    return ["".join(map(str, ([0] if device.coding == "manchester" else []) + row))
            for row in device.rows]


def rtl_433_rows(spec, ook):
    result = subprocess.run(["rtl_433", "-R", "0", "-F", "json", "-X", spec, "-r", "ook:-"],
                            input=ook, capture_output=True, text=True, timeout=60)
    codes = re.findall(r"\{(\d+)\}([0-9a-f]*)", "".join(
        line[line.index('"codes"'):] for line in result.stdout.splitlines()))
    return [f"{{{n}}}{h}" for n, h in codes if n != "0"]


CASES = [  # coding, unit us, sync, preamble, long/short
    ("pwm_gap", 350, True, False, 3.0), ("pwm_period", 900, False, True, 2.0),
    ("ppm", 500, True, False, 2.0), ("manchester", 480, False, True, 2.0),
    ("dmc", 700, False, False, 2.0), ("pcm", 1600, False, True, 2.0),
    ("piwm", 260, False, False, 2.0)]


@pytest.mark.parametrize("kind,unit,sync,preamble,ratio", CASES)
def test_each_coding_is_named_read_and_read_back_by_rtl_433(channel, kind, unit, sync, preamble,
                                                            ratio):
    rng = np.random.default_rng(unit)
    bits = keyed.visible_end(kind, rng.integers(0, 2, 25), preamble)
    device = keyed.Device(kind, unit, bits, repeats=3, sync=sync, preamble=preamble,
                          ratio=ratio, seed=unit)
    bursts, _ = sliced(envelope(device, channel, 15.0))
    assert len(bursts) == 1
    burst = bursts[0]
    assert abs(burst.snr_db - 15.0) < 2.5
    a = analysis.analyse(burst, OUT)
    assert a.verdict == analysis.DECODED
    named = [c.name for c in a.candidates]
    if kind == "dmc":
        # The same timings as Manchester with its leading zero bit: both named, equally fit.
        assert named[:2] == ["Manchester", "differential Manchester"]
        best = a.candidates[1]
        assert best.confidence == a.candidates[0].confidence
    else:
        assert named[0] == keyed.NAMES[kind]
        best = a.best
    truth = expected_rows(device)
    if kind == "pcm":
        # rtl_433 reads a PCM row with the zeros of the quiet after it.
        assert [r[:len(t)] for r, t in zip(best.rows, truth)] == truth
    elif kind == "dmc":
        # rtl_433's differential Manchester joins the rows that no long gap parts.
        assert best.rows == ["".join(truth)]
    else:
        assert best.rows == truth
    if best is a.best:
        assert a.consensus.startswith(truth[0]) and a.disagree == []
        assert a.consensus == truth[0] or kind == "pcm" and set(a.consensus[len(truth[0]):]) \
            == {"0"}
        assert bool(a.preamble) == preamble
    framing = a.framing
    assert (framing.sync_pulse is not None) == (sync and kind.startswith("pwm"))
    assert (framing.sync_gap is not None) == (sync and kind == "ppm")

    # Each cluster's mean width within max(10 us, 3 %) of the mean of the widths sent in it.
    sent = np.array([w for _, w in device.levels()])
    measured = np.array([w for pair in burst.pulses for w in pair])
    assert len(measured) == len(sent)
    for found in framing.pulse_clusters + framing.gap_clusters:
        members = (measured >= found.low) & (measured <= found.high)
        truth_mean = sent[members].mean()
        assert abs(found.mean - truth_mean) <= max(10.0, 0.03 * truth_mean), (found, truth_mean)

    # rtl_433 reads the same rows from our pulse data with our flex decoder.
    ook = "\n".join(pulsereport.ook_lines(burst)) + "\n"
    assert rtl_433_rows(best.fit.spec.text(), ook) == [pulsereport.hex_bits(r) for r in best.rows]


def envelope_model(magnitudes, skip=()):
    """iqenv's values for these magnitudes: a compensated sum, a float mean, float arithmetic;
    the frames in `skip` are not finite (0 written, left out of the mean)."""
    out = np.zeros(len(magnitudes), dtype=np.float32)
    total, count = 0.0, 0
    for i, m in enumerate(magnitudes.astype(np.float32)):
        if i in skip:
            continue
        total += float(m)
        count += 1
        mean = np.float32(total / count)
        out[i] = np.float32(np.float32(m - mean) * np.float32(10000))
    return out


def test_magnitudes_come_back_from_the_values_whatever_the_chunks():
    rng = np.random.default_rng(5)
    m = np.abs(rng.normal(0.2, 0.1, 30000)) + 0.5 * (np.arange(30000) % 5000 < 2000)
    m[:3000] = 0.0  # a run that starts with digital silence
    vals = envelope_model(m, skip={12345})
    recovery = pulses.EnvelopeRecovery()
    cuts = np.sort(rng.integers(0, len(vals), 40))
    got = np.concatenate([recovery.magnitudes(part) for part in np.split(vals, cuts)])
    # Up to the first magnitude, which the values do not hold; exact but for rounding before
    # the frame iqenv left out of its mean, within a part in the count after it.
    error = np.abs((got - got[0]) - (m - m[0]))
    assert error[:12345].max() < 1e-6
    assert error[12346:].max() < 1e-4
    assert recovery.count == len(m)


def test_bursts_come_out_soon_after_they_end_and_memory_stays_flat(channel):
    # Loud noise first raises iqenv's running mean, which then falls all through the rest;
    # quiet; the device; quiet.
    device = keyed.Device("pwm_period", 500, [1, 0, 1, 1, 0, 0, 1, 0] * 3, repeats=2, seed=3)
    keyed_iq = keyed.recording(device, RATE, OFFSET, 20.0, CHANNEL, lead=0.5)
    sigma = np.std(keyed_iq[: RATE // 10])
    loud = iqsignals.complex_noise(RATE // 2, 0.3, 1)
    iq = np.concatenate((loud, keyed_iq, iqsignals.complex_noise(3 * RATE, sigma / 1.4142, 2)))
    raw = np.frombuffer(iqsignals.as_recorded(iq, "cu8"), dtype=np.uint8)
    result = run([IQENV, str(channel)], ((raw - np.float32(127.5)) / np.float32(127.5)).astype(
        np.float32).tobytes())
    stream = values(result.stdout)
    first_edge = 1.0
    last_edge = first_edge + sum(w for _, w in device.levels()) / 1e6
    reader, found, longest = pulses.BurstReader(), [], 0
    chunk = OUT // 20
    for at in range(0, len(stream), chunk):
        found += [((at + chunk) / OUT, b) for b in reader.feed(stream[at:at + chunk])]
        if found:
            longest = max(longest, sum(len(x) for _, x in reader.detector.kept))
    assert reader.finish() == []
    assert len(found) == 1
    reported, burst = found[0]
    assert burst.start == pytest.approx(first_edge, abs=1e-3)
    assert len(burst.pulses) == 2 * 24
    assert reported - last_edge <= 0.3
    # After it, the reader keeps no more than a smoothing's context and a chunk.
    assert longest <= 2 * chunk


def test_symbols_shorter_than_three_samples_are_not_guessed(channel):
    device = keyed.Device("pwm_gap", 90, [1, 0] * 12, repeats=3, seed=4, jitter=0)
    bursts, _ = sliced(envelope(device, channel, 25.0))
    a = analysis.analyse(bursts[0], OUT)
    assert a.verdict == analysis.TOO_SHORT and a.candidates == []
    text = "\n".join(pulsereport.text_lines(bursts[0], a, 1, OUT))
    assert "not resolved" in text and "Row" not in text


def test_a_glitch_in_a_gap_is_dropped_and_counted(channel):
    device = keyed.Device("ppm", 600, [1, 0, 0, 1, 1, 0, 1, 0] * 2, repeats=2, seed=5)
    vals = envelope(device, channel, 25.0).copy()
    clean, _ = sliced(vals)
    # One value far up, in the middle of the first long gap.
    at = int((0.02 + (600 + 2400 / 2) / 1e6) * OUT)
    vals[at] += 3 * np.percentile(vals, 99.5)
    bursts, slicer = sliced(vals)
    assert bursts[0].glitches == 1 and slicer.glitches == 1
    assert np.allclose(bursts[0].pulses, clean[0].pulses, atol=10.0)


def two_remotes(path):
    """A cu8 recording of two keyed devices at +40 and -60 kHz; their expected rows."""
    ppm = keyed.Device("ppm", 500, [1, 0, 1, 1, 0, 0, 1, 0, 1, 1, 1, 0, 0, 0, 1, 1], sync=True,
                       seed=2)
    pwm = keyed.Device("pwm_period", 400, [0, 1, 1, 0, 1, 0, 0, 1, 1, 1, 0, 0, 1, 0, 1, 1],
                       seed=3)
    a = keyed.recording(ppm, RATE, 40e3, 20.0, CHANNEL, amplitude=0.08)
    b = keyed.recording(pwm, RATE, -60e3, 30.0, CHANNEL, seed=9)  # the stronger
    iq = np.zeros(max(len(a), len(b)), dtype=np.complex64)
    iq[: len(a)] += a
    iq[: len(b)] += b
    path.write_bytes(iqsignals.as_recorded(iq, "cu8"))
    return {"+40.0 kHz": "".join(map(str, ppm.bits)), "-60.0 kHz": "".join(map(str, pwm.bits))}


def test_a_recording_to_bits_in_one_command_each_signal_labelled(tmp_path):
    path = tmp_path / "two.cu8"
    sent = two_remotes(path)
    result = run([TOOL, "pulses", "--recording", str(path), "--samplerate", str(RATE), "--all",
                  "--json"], text=True)
    assert result.returncode == 0, result.stderr
    bursts = [json.loads(line) for line in result.stdout.splitlines()]
    assert {b["signal"]: b["consensus"] for b in bursts} == sent
    # Strongest first.
    assert [(b["signal"], b["codings"][0]["name"]) for b in bursts] == [
        ("-60.0 kHz", "PWM"), ("+40.0 kHz", "PPM")]
    # Without --all, the strongest keyed signal only; the readable report says what it did.
    result = run([TOOL, "pulses", "--recording", str(path), "--samplerate", str(RATE)], text=True)
    assert result.returncode == 0, result.stderr
    assert re.search(r"^Signal at -59\.\d+ kHz: Design: \d+ taps", result.stdout, re.M)
    assert re.search(r"^  Consensus: \{16\}69cb " + sent["-60.0 kHz"] + "$", result.stdout, re.M)
    assert "a burst ends after 100 ms without a pulse" in result.stdout
    assert result.stdout.count("Burst ") == 1


def test_iqenv_piped_in_live_and_rtl_433_reading_our_pulse_data(tmp_path, channel):
    device = keyed.Device("pwm_gap", 450, [1, 1, 0, 1, 0, 0, 0, 1] * 3, repeats=3, seed=8)
    iq = keyed.recording(device, RATE, OFFSET, 20.0, CHANNEL)
    (tmp_path / "in.cf32").write_bytes(iq.astype(np.complex64).tobytes())
    pipe = f"{IQENV} {channel} < {tmp_path / 'in.cf32'} 2>/dev/null | {TOOL} pulses -"
    lines = subprocess.run(pipe + " --json", shell=True, capture_output=True, text=True,
                           check=True).stdout.splitlines()
    assert len(lines) == 1
    burst = json.loads(lines[0])
    assert burst["consensus"] == "".join(map(str, device.bits))
    assert burst["rows"] == [burst["consensus"]] * 3
    ook = subprocess.run(pipe + " --ook", shell=True, capture_output=True, text=True,
                         check=True).stdout
    assert ook.startswith(";pulse data\n") and ook.endswith(";end\n")
    assert len(ook.splitlines()) == 6 + 3 * 24 + 1
    theirs = rtl_433_rows(burst["flex"], ook)
    assert theirs == [pulsereport.hex_bits(device.bits)] * 3


@pytest.mark.parametrize("args,message", [
    ([], "Give FILE (- for standard input), or --recording"),
    (["x.f32", "--all"], "--all goes with --recording"),
    (["x.f32", "--recording", "y.cu8", "--samplerate", "1e6"],
     "give FILE or --recording, not both"),
    (["x.f32", "--annotate"], "--annotate goes with --recording"),
    (["--recording", "/dev/null"], None),  # says no rate, and none is given
    (["-", "--json", "--ook"], None)])
def test_pulses_usage_errors(args, message):
    result = run([TOOL, "pulses", *args], text=True)
    assert result.returncode == 2
    assert result.stderr.startswith("Error: ") and result.stderr.count("\n") == 1
    if message:
        assert result.stderr.strip() == f"Error: {message}"


def test_rtl_433s_own_decoders_read_our_pulse_data(tmp_path, channel):
    # A 24-bit remote of 350 us units, PWM 1:3, four presses: rtl_433 knows it (Smoke-GS558),
    # and reports its code as the bits reversed and inverted.
    bits = [int(b) for b in f"{0xA5C3B6:024b}"]
    device = keyed.Device("pwm_period", 350, bits, repeats=4, ratio=3, jitter=0.0, seed=6)
    (tmp_path / "in.cf32").write_bytes(
        keyed.recording(device, RATE, OFFSET, 20.0, CHANNEL).astype(np.complex64).tobytes())
    pipe = (f"{IQENV} {channel} < {tmp_path / 'in.cf32'} 2>/dev/null | {TOOL} pulses - --ook | "
            "rtl_433 -r ook:- -F json 2>/dev/null")
    events = [json.loads(line) for line in subprocess.run(
        pipe, shell=True, capture_output=True, text=True, check=True).stdout.splitlines()]
    code = f"{int(''.join(str(1 - b) for b in reversed(bits)), 2):06x}"
    assert {(e["model"], e["code"]) for e in events} == {("Smoke-GS558", code)}


def test_the_consensus_outvotes_a_bad_repeat_and_marks_the_bit():
    device = keyed.Device("pwm_gap", 500, [1, 0, 0, 1, 1, 0, 1, 0, 1, 1], repeats=3, jitter=0.0)
    pairs = [list(p) for p in device.pulses()]
    pairs[10 + 3][0] = 1000.0  # the second repeat's fourth bit: a long pulse, 0
    burst = pulses.Burst(start=0.0, pulses=[tuple(p) for p in pairs], snr_db=20.0, span=4,
                         separation=20.0)
    a = analysis.analyse(burst, OUT)
    assert a.consensus == "1001101011" and a.disagree == [3]
    bits = "".join(map(str, device.bits))
    assert a.best.rows == [bits, bits[:3] + "0" + bits[4:], bits]
    text = pulsereport.text_lines(burst, a, 1, OUT)
    consensus = next(i for i, line in enumerate(text) if "Consensus" in line)
    assert text[consensus + 1].index("^") == text[consensus].index("1001101011") + 3


@pytest.mark.parametrize("last", [0, 1])
def test_a_row_of_an_odd_count_of_half_bits_is_manchester_only(last):
    # Ending on a 0 (off then on), a Manchester row lasts an odd number of half bits, which a
    # differential Manchester row never does; ending on a 1 the two cannot be told apart.
    bits = [1, 1, 0, 1, 0, 0, 1, 0, 1, last]
    device = keyed.Device("manchester", 500, bits, repeats=3, jitter=0.0)
    a = analysis.analyse_pulses(device.pulses(), OUT)
    fits = {c.name: c.confidence for c in a.candidates}
    assert a.best.name == "Manchester" and a.consensus == "0" + "".join(map(str, bits))
    if last == 0:
        assert "differential Manchester" not in fits
    else:
        assert fits["differential Manchester"] == fits["Manchester"]


def test_decoded_bursts_annotate_the_recording_and_the_envelope_is_a_recording_too(tmp_path):
    device = keyed.Device("ppm", 500, [1, 0, 1, 1, 0, 0, 1, 0, 1, 1, 1, 0, 0, 0, 1, 1], sync=True,
                          seed=2)
    iq = keyed.recording(device, RATE, 40e3, 25.0, CHANNEL, lead=0.05)
    # The name says the rate and the tuned frequency: nothing else is given.
    path = tmp_path / "g001_433.92M_250k.cu8"
    path.write_bytes(iqsignals.as_recorded(iq, "cu8"))
    envelope_path = tmp_path / "env.f32"
    args = [TOOL, "pulses", "--recording", str(path), "--annotate", "--envelope",
            str(envelope_path)]
    for _ in range(2):  # a second run replaces its own annotations, not adds to them
        result = run(args, text=True)
        assert result.returncode == 0, result.stderr
    meta = json.loads((tmp_path / "g001_433.92M_250k.sigmf-meta").read_text())
    assert meta["global"]["core:dataset"] == path.name
    [mark] = meta["annotations"]
    bits = "".join(map(str, device.bits))
    assert (mark["core:label"], mark["core:generator"]) == ("PPM", "iqenv-config pulses")
    assert mark["core:comment"].startswith(f"bits {bits};")
    # The burst's span in the recording's samples, and the channel's edges on the radio.
    assert abs(mark["core:sample_start"] / RATE - 0.05) < 0.002
    sent = device.pulses()
    length_us = sum(p + g for p, g in sent) - sent[-1][1]
    assert abs(mark["core:sample_count"] / RATE * 1e6 - length_us) < 200
    assert mark["core:freq_lower_edge"] < 433.96e6 < mark["core:freq_upper_edge"]
    # The envelope kept is iqenv's output, described as such, and reads back to the same bits,
    # its file named in each JSON line.
    envelope_meta = json.loads((tmp_path / "env.sigmf-meta").read_text())
    assert envelope_meta["global"]["core:datatype"] == "rf32_le"
    assert envelope_meta["global"]["core:sample_rate"] == 24000
    assert abs(envelope_meta["captures"][0]["core:frequency"] - 433.96e6) < 100
    again = run([TOOL, "pulses", str(envelope_path), str(envelope_path), "--json"], text=True)
    lines = [json.loads(line) for line in again.stdout.splitlines()]
    assert [(b["file"], b["consensus"]) for b in lines] == [(str(envelope_path), bits)] * 2


def pir_sensor(code, repeats=8, sync_at="end"):
    """A PIR sensor's burst as pulses: pulses of one width (514 us), the bits in gaps of 525 and
    1554 us, a 1990 us sync pulse at each row's end (or start), rows 6 ms apart."""
    rng = np.random.default_rng(len(code))
    out = []
    for _ in range(repeats):
        row = [(514 + rng.normal(0, 8), 1554.0 if b else 525.0) for b in code]
        if sync_at == "end":
            row.append((1990.0, 6000.0))
        else:
            row = [(1990.0, 525.0)] + row
            row[-1] = (row[-1][0], 6000.0)
        out += row
    out[-1] = (out[-1][0], 100000.0)
    return out


@pytest.mark.parametrize("sync_at", ["end", "start"])
def test_the_simplest_coding_that_fits_wins_and_its_decoder_reads_our_rows(sync_at):
    # Pulses of one width with the bits in the gaps are PPM, as rtl_433's analyser names it:
    # PIWM fits the same timings with every other bit the same, PCM with four bits a bit.
    code = [0, 1, 1, 1, 0, 0, 1, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1]
    burst = pulses.Burst(start=0.0, pulses=pir_sensor(code, sync_at=sync_at), snr_db=20.0,
                         span=4, separation=20.0)
    a = analysis.analyse(burst, OUT)
    assert [c.name for c in a.candidates][:1] == ["PPM"] and "PIWM" not in a.won
    assert a.framing.sync_pulse.mean == pytest.approx(1990) and a.won.startswith("as good")
    # The sync pulse's own gap is a bit where the sync mark opens the row.
    row = "".join(map(str, code)) if sync_at == "end" else "0" + "".join(map(str, code[:-1]))
    assert a.best.rows == [row] * 8 and a.consensus == row
    ook = "\n".join(pulsereport.ook_lines(burst)) + "\n"
    assert rtl_433_rows(a.best.fit.spec.text(), ook) == [pulsereport.hex_bits(row)] * 8


def test_a_stream_busy_from_first_to_last_value_and_bursts_apart_by_the_rule(channel):
    # Frames 70 ms long, 10 ms apart, from before the recording starts to after it ends; then,
    # after 106 ms of quiet, one frame, and after 146 ms another: three bursts.
    bits = [1, 0, 1, 1, 0, 0, 0, 1, 1, 0, 1, 0, 0, 1, 1, 1, 0, 1, 0, 0, 1, 1, 0, 1]
    frame = keyed.keying(keyed.Device("pwm_period", 700, bits, repeats=1, jitter=0.02,
                                      seed=1), RATE, lead=0.0)
    gap = np.zeros(int(0.010 * RATE), np.float32)
    busy = np.concatenate([frame, gap] * 6)[int(0.03 * RATE):int(0.35 * RATE)]
    quiet = [np.zeros(int(s * RATE), np.float32) for s in (0.106, 0.146, 0.2)]
    sent = "".join(map(str, bits))

    def through_iqenv(keying):
        iq = iqsignals.carrier(RATE, OFFSET, 0.3 * keying) + iqsignals.complex_noise(
            len(keying), 0.01, 4)
        raw = np.frombuffer(iqsignals.as_recorded(iq, "cu8"), dtype=np.uint8)
        result = run([IQENV, str(channel)], ((raw - np.float32(127.5)) / np.float32(
            127.5)).astype(np.float32).tobytes())
        bursts, _ = sliced(values(result.stdout))
        return bursts, [analysis.analyse(b, OUT) for b in bursts]

    # Busy from the first value to the last: one burst, cut by the end, its whole frames read.
    bursts, found = through_iqenv(busy)
    assert len(bursts) == 1 and bursts[0].cut
    assert found[0].consensus == sent and found[0].best.rows.count(sent) >= 3
    bursts, found = through_iqenv(np.concatenate((busy, quiet[0], frame, quiet[1], frame,
                                                  quiet[2])))
    assert len(bursts) == 3, [(b.start, len(b.pulses)) for b in bursts]
    assert [f.consensus for f in found] == [sent] * 3 and not any(b.cut for b in bursts)


def test_each_slicing_step_earns_its_place(monkeypatch):
    # Hysteresis: an edge that wavers back under the threshold, but not by the hysteresis, is
    # one edge, not a pulse and a gap of their own.
    wavering = np.concatenate((np.zeros(30), [0.58, 0.6, 0.45, 0.44, 0.46, 0.45], np.ones(20),
                               np.zeros(20), np.ones(20), np.zeros(30)))
    # Despiking: a lone tall sample in a gap is no pulse, even smoothed over three.
    rng = np.random.default_rng(1)
    spiked = np.concatenate([np.full(12, 1.0 - i % 2) for i in range(12)])
    spiked = np.concatenate((np.zeros(60), spiked, np.zeros(60)))
    spiked += 0.02 * rng.standard_normal(len(spiked))
    spiked[60 + 3 * 12 + 6] += 6.0

    def widths(x, span):
        return np.round(np.diff(slicing.slice_levels(x, span, 0.0).edges)).astype(int).tolist()

    assert widths(wavering, 1) == [20, 20, 20] and widths(spiked, 3) == [12] * 11
    monkeypatch.setattr(slicing, "HYSTERESIS", 0.0)
    monkeypatch.setattr(slicing, "despike", lambda x, threshold, step: (x, 0))
    assert len(widths(wavering, 1)) > 3 and len(widths(spiked, 3)) > 11



def test_the_default_path_matches_its_channel_to_the_elements_and_hears_more(tmp_path):
    """Six packets of 1 ms PWM symbols 7 dB below the noise in the whole 250 kHz: through the
    default 20.9 kHz channel the slicer sees noise; pulses --recording measures the elements
    in a first pass (in bursts it cannot read yet), matches the channel to them (2 kHz) and
    reads every packet; --drift widens it by as much. --bandwidth keeps the channel given."""
    rng = np.random.default_rng(1000)
    parts, sent = [np.zeros(int(0.05 * RATE), np.float32)], []
    for _ in range(6):
        bits = [int(b) for b in rng.integers(0, 2, 24)]
        parts += [keyed.keying(keyed.Device("pwm_period", 1000, bits, repeats=1, jitter=0.0),
                               RATE, lead=0.0), np.zeros(int(0.15 * RATE), np.float32)]
        sent.append("".join(map(str, bits)))
    keying = np.concatenate(parts)
    sigma = 0.1
    iq = iqsignals.carrier(RATE, 40e3, np.sqrt(2 * sigma ** 2 * 10 ** (-7 / 10)) * keying)
    path = tmp_path / "weak.cu8"
    path.write_bytes(iqsignals.as_recorded(
        iq + iqsignals.complex_noise(len(iq), sigma, 7), "cu8"))
    read, said = {}, {}
    for name, extra in (("matched", []), ("drift", ["--drift", "1500"]),
                        ("default", ["--bandwidth", str(CHANNEL)])):
        result = run([TOOL, "pulses", "--recording", str(path), "--samplerate", str(RATE),
                      *extra], text=True)
        assert result.returncode == 0, result.stderr
        read[name] = re.findall(r"^  Consensus: \{24\}\w+ ([01]+)$", result.stdout, re.M)
        said[name] = re.search(r"^  Matched channel: (\S+ \S+) for (\d+) us elements",
                               result.stdout, re.M)
    assert read["matched"] == sent and len(set(read["default"]) & set(sent)) < 3
    assert said["default"] is None and 800 < float(said["matched"].group(2)) < 1100
    assert hertz(said["drift"].group(1)) == pytest.approx(hertz(said["matched"].group(1)) + 1500)
