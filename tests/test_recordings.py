"""Recordings as people keep them, through iqenv-config's commands: the names receivers give
their files, WAV headers, SigMF metadata and archives, and the annotations scan writes back."""
import glob
import hashlib
import json
import os
import pty
import subprocess
import re
import shutil
import struct
import tarfile
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from conftest import ROOT, TOOL, hertz, iqsignals, json_lines, run

import keyed

SAMPLES = 20000  # enough for a scan at 2.4 MS/s, and quick
GENERATOR = "iqenv-config scan"
CODE = [int(b) for b in f"{0xA5C3B6:024b}"]


def tool(*args):
    return run([TOOL, *map(str, args)], text=True)


def noise(fmt, samples=SAMPLES, seed=1):
    return iqsignals.as_recorded(iqsignals.complex_noise(samples, 0.2, seed), fmt)


def wav(iq, rate, bits, kind):
    """A two-channel WAV file's bytes, I left and Q right: 8 or 16-bit PCM, or 32-bit float.
    `kind`: "plain"; "extensible" (the format in a sub-format); "rf64" (the sizes in a ds64
    chunk); "unfinished" (sizes 0, as a recorder leaves them that never ended)."""
    data = iqsignals.as_recorded(iq, {8: "cu8", 16: "cs16", 32: "cf32"}[bits])
    tag = 3 if bits == 32 else 1
    fmt = struct.pack("<HHIIHH", 0xFFFE if kind == "extensible" else tag, 2, rate,
                      rate * bits // 4, bits // 4, bits)
    if kind == "extensible":  # the sub-format GUID starts with the tag
        fmt += struct.pack("<HHI", 22, bits, 3) + struct.pack("<H", tag) + bytes(14)
    size = {"rf64": 0xFFFFFFFF, "unfinished": 0}.get(kind, len(data))
    body = b"WAVE"
    if kind == "rf64":
        body += b"ds64" + struct.pack("<IQQQI", 28, 0, len(data), len(data) // 2, 0)
    body += b"fmt " + struct.pack("<I", len(fmt)) + fmt
    body += b"LIST" + struct.pack("<I", 5) + b"hello\0"  # an odd chunk, padded, passed over
    body += b"data" + struct.pack("<I", size) + data
    if kind != "unfinished":  # a chunk after the data, which only the sizes tell apart
        body += b"LIST" + struct.pack("<I", 8) + b"notes\0\0\0"
    return (b"RF64" if kind == "rf64" else b"RIFF") + struct.pack("<I", size) + body


def remote_at(samplerate, offset, seconds=0.25, seed=2):
    """A remote on twice at `offset` in light noise, as complex floats."""
    n = int(seconds * samplerate)
    envelope = np.zeros(n, np.float32)
    on = keyed.fixed_code(CODE, 350e-6 * samplerate, 2)
    envelope[int(0.02 * samplerate):][:len(on)] = on[:n - int(0.02 * samplerate)]
    return iqsignals.complex_noise(n, 0.02, seed) + iqsignals.carrier(samplerate, offset,
                                                                      0.5 * envelope)


def headers(stdout):
    """scan's "Recording:" lines: {path: (format, rate, tuned frequency or None)}, and the
    number of samples of each."""
    found, samples = {}, {}
    for m in re.finditer(r"^Recording: (.+), (\w+), (\d+) samples at (\d+) samples/s \(\S+ s\), "
                         r"(?:tuned to (\S+ \S+)|tuned frequency unknown)$", stdout, re.M):
        found[m[1]] = (m[2], int(m[4]), m[5] and hertz(m[5]))
        samples[m[1]] = int(m[3])
    return found, samples


def snapshot(folder):
    """Every file below `folder` and its content."""
    return {p: p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


# Names as receivers and people write them, and what they say: (rate, tuned frequency,
# format), or a refusal and the words that explain it. A WAV file gives its rate and format
# in its header: (rate, bits, extensible).
NAMES = {
    "g001_433.92M_250k.cu8": (250000, 433.92e6, "cu8"),
    "g012_868.3M_1024k.cu8": (1024000, 868.3e6, "cu8"),
    "g003_915M_2400k.cu8": (2400000, 915e6, "cu8"),
    "g004_433.92M_2.4M.cu8": (2400000, 433.92e6, "cu8"),
    "g005_315M_2400000.cu8": (2400000, 315e6, "cu8"),
    "gqrx_20240102_123456_433920000_2400000_fc.raw": (2400000, 433.92e6, "cf32"),
    "gqrx_20191231_235959_144800000_1000000_fc.raw": (1000000, 144.8e6, "cf32"),
    "capture_433.92MHz_2.4Msps.cs8": (2400000, 433.92e6, "cs8"),
    "weather_868.35M_250k.cs16": (250000, 868.35e6, "cs16"),
    "car-key_433.92M_1024k.cfile": (1024000, 433.92e6, "cf32"),
    "keyfob_433.92M_250k.complex16u": (250000, 433.92e6, "cu8"),
    "keyfob_315M_250k.complex16s": (250000, 315e6, "cs8"),
    "g001_433.92M_250k": (250000, 433.92e6, "cf32"),
    "scan_433.92M_868.3M_250k.cu8": (250000, None, "cu8"),  # two frequencies: neither
    "baseband_433920000Hz_12-34-56_02-01-2024.wav": ((250000, 16, "plain"), 433.92e6, "cs16"),
    "baseband_868350000Hz_09-00-00_15-06-2023.wav": ((1024000, 32, "extensible"), 868.35e6,
                                                     "cf32"),
    "SDRSharp_20240102_123456Z_433920000Hz_IQ.wav": ((2048000, 16, "rf64"), 433.92e6, "cs16"),
    "HDSDR_20240102_123456Z_433920kHz_RF.wav": ((250000, 8, "unfinished"), 433.92e6, "cu8"),
    "remote.cu8": "no facts",
    "recording_20240102_153000.cu8": "no facts",  # a date and a time are not a rate
    "capture.raw": "no facts",
    "433920k.cu8": "'433920k' would be 433920000 samples/s",
    "g001_433920k.cu8": "'433920k' would be 433920000 samples/s",
    "capture_2.4M.cf32": "'2.4M' may be a rate or a frequency",
    "IQ_433.92M_0k.cu8": "'0k' would be 0 samples/s",
}


def test_the_names_receivers_write_give_rate_frequency_and_format(tmp_path):
    paths = []
    for name, expected in NAMES.items():
        path = tmp_path / name
        if name.endswith(".wav"):
            path.write_bytes(wav(iqsignals.complex_noise(SAMPLES, 0.2, 1), *expected[0]))
        else:
            path.write_bytes(noise(expected[2] if isinstance(expected, tuple) else "cu8"))
        paths.append(str(path))
    result = tool("scan", *paths)
    assert result.returncode == 2  # a rate nobody gave is the user's to give
    said, samples = headers(result.stdout)
    assert set(samples.values()) == {SAMPLES}  # the WAV files' headers and chunks left out
    refused = {line.split(": ")[1]: line for line in result.stderr.splitlines()}
    for name, expected in NAMES.items():
        path = str(tmp_path / name)
        if isinstance(expected, str):
            assert path not in said and path in refused, name
            assert "--samplerate" in refused[path] and "core:sample_rate" in refused[path]
            assert expected == "no facts" or expected in refused[path], refused[path]
        else:
            rate, frequency, fmt = expected
            rate = rate[0] if isinstance(rate, tuple) else rate
            assert said[path] == (fmt, rate, frequency), name
    assert len(refused) == len(result.stderr.splitlines())  # no warnings: nothing disagrees


def test_the_command_line_wins_and_a_conflict_is_reported(tmp_path):
    path = tmp_path / "g001_433.92M_250k.cu8"
    # Noise that fills the scale: cu8 and cs8 alike (quieter cu8 read as cs8 is refused).
    path.write_bytes(iqsignals.as_recorded(iqsignals.complex_noise(SAMPLES, 1.0, 1), "cu8"))
    agreeing = tool("scan", path, "--samplerate", 250000, "--tuned", 433.92e6, "--format", "cu8")
    assert (agreeing.returncode, agreeing.stderr) == (0, "")
    result = tool("scan", path, "--samplerate", 1024000, "--tuned", 433.9e6, "--format", "cs8")
    assert result.returncode == 0, result.stderr
    assert headers(result.stdout)[0] == {str(path): ("cs8", 1024000, 433.9e6)}
    warnings = result.stderr.splitlines()
    assert len(warnings) == 3 and all(w.startswith(f"Warning: {path}: ") for w in warnings)
    assert ["1024000" in w and "250000" in w for w in warnings] == [True, False, False]


def remote_recordings(folder):
    """Two raw cu8 recordings with nothing in their names, a remote in each at 250 kS/s."""
    paths = []
    for name, offset in (("garage.cu8", 30e3), ("gate.cu8", -52e3)):
        paths.append(folder / name)
        paths[-1].write_bytes(iqsignals.as_recorded(remote_at(250000, offset), "cu8"))
    return paths


def test_scan_annotates_a_raw_recording_and_reads_it_back(tmp_path):
    garage, gate = remote_recordings(tmp_path)
    tuned = 433.9e6
    result = tool("scan", garage, gate, "--samplerate", 250000, "--tuned", tuned, "--annotate")
    assert result.returncode == 0, result.stderr
    metas = [tmp_path / "garage.sigmf-meta", tmp_path / "gate.sigmf-meta"]
    assert [f"Wrote {m}" in result.stdout for m in metas] == [True, True]

    # Read back: the rate and frequency from the metadata, one JSON line per signal, the file
    # named; the metadata names its dataset and has every field the standard requires.
    again = tool("scan", garage, metas[1], "--json")
    assert (again.returncode, again.stderr) == (0, "")
    found = json_lines(again.stdout)
    assert [s["file"] for s in found] == [str(garage), str(metas[1])]
    for signal, meta, path in zip(found, metas, (garage, gate)):
        assert signal["frequency_hz"] == pytest.approx(tuned + signal["offset_hz"], abs=0.1)
        document = json.loads(meta.read_text())
        top = document["global"]
        assert (top["core:datatype"], top["core:sample_rate"], top["core:dataset"]) == (
            "cu8", 250000, path.name)
        assert isinstance(top["core:version"], str)
        assert document["captures"] == [{"core:sample_start": 0, "core:frequency": tuned}]
        marks = document["annotations"]
        assert len(marks) == signal["bursts"] == 2
        lower, upper = (signal["frequency_hz"] + side * signal["bandwidth_hz"] / 2
                        for side in (-1, 1))
        for mark, (start, end) in zip(marks, signal["burst_times_s"]):
            assert mark["core:generator"] == GENERATOR and mark["core:label"]
            assert "dB" in mark["core:comment"]
            assert mark["core:sample_start"] == round(start * 250000)
            assert mark["core:sample_start"] + mark["core:sample_count"] == round(end * 250000)
            assert (mark["core:freq_lower_edge"], mark["core:freq_upper_edge"]) == (
                pytest.approx(lower, abs=1), pytest.approx(upper, abs=1))


def test_scan_updates_sigmf_metadata_and_keeps_what_it_does_not_own(tmp_path):
    """A SigMF pair with fields of its own and someone else's annotation: annotated twice, the
    data is untouched, every other field kept, and scan's own annotations not doubled. The
    same recording in an archive is read, and not annotated."""
    data = tmp_path / "keyfob.sigmf-data"
    data.write_bytes(remote_at(1024000, 200e3).tobytes())
    theirs = {"core:sample_start": 5, "core:sample_count": 10, "core:label": "theirs",
              "core:generator": "someone"}
    document = {"global": {"core:datatype": "cf32_le", "core:version": "1.0.0",
                           "core:sample_rate": 1024000, "core:author": "me", "x:custom": [1]},
                "captures": [{"core:sample_start": 0, "core:frequency": 868e6,
                              "core:datetime": "2024-01-02T12:34:56Z"}],
                "annotations": [theirs], "x:extra": {"kept": True}}
    meta = tmp_path / "keyfob.sigmf-meta"
    meta.write_text(json.dumps(document))
    digest = hashlib.sha256(data.read_bytes()).hexdigest()
    for _ in range(2):
        result = tool("scan", meta, "--annotate")
        assert (result.returncode, result.stderr) == (0, ""), result.stderr
    assert hashlib.sha256(data.read_bytes()).hexdigest() == digest
    written = json.loads(meta.read_text())
    marks = written.pop("annotations")
    assert written == {k: v for k, v in document.items() if k != "annotations"}
    assert theirs in marks and [m["core:sample_start"] for m in marks] == sorted(
        m["core:sample_start"] for m in marks)
    ours = [m for m in marks if m["core:generator"] == GENERATOR]
    lower, upper = ours[0]["core:freq_lower_edge"], ours[0]["core:freq_upper_edge"]
    assert len(ours) == 2 and lower < 868.2e6 < upper < lower + 5e3

    # The pair in an archive, as the standard lays it out: read with the same result.
    archive = tmp_path / "keyfob.sigmf"
    with tarfile.open(archive, "w") as tar:
        for path in (meta, data):
            tar.add(path, f"keyfob/{path.name}")
    direct, packed = (json_lines(tool("scan", p, "--json").stdout) for p in (data, archive))
    assert [{**s, "file": None} for s in direct] == [{**s, "file": None} for s in packed]
    assert len(packed) == 1 and packed[0]["file"] == str(archive)
    before = snapshot(tmp_path)
    refused = tool("scan", archive, "--annotate")
    assert (refused.returncode, refused.stdout) == (1, "")
    assert refused.stderr.startswith(f"Error: {archive}: ") and "archive" in refused.stderr
    assert snapshot(tmp_path) == before


GOOD_GLOBAL = {"core:datatype": "ci16_le", "core:version": "1.2.0", "core:sample_rate": 250000}
# Metadata that breaks the standard or says what cannot be: the field the message names.
BAD = {
    "broken JSON": ('{"global": {"core:datatype": "ci16_le",', "line 1 column 40"),
    "no datatype": ({"global": {"core:version": "1.2.0"}}, "global core:datatype: missing"),
    "no version": ({"global": {"core:datatype": "ci16_le"}}, "global core:version: missing"),
    "a datatype not read": ({"global": {**GOOD_GLOBAL, "core:datatype": "ci16_be"}},
                            "global core:datatype: 'ci16_be' is not one"),
    "rate 0": ({"global": {**GOOD_GLOBAL, "core:sample_rate": 0}}, "global core:sample_rate"),
    "rate as text": ({"global": {**GOOD_GLOBAL, "core:sample_rate": "250k"}},
                     "global core:sample_rate"),
    "rate not whole": ({"global": {**GOOD_GLOBAL, "core:sample_rate": 250000.5}},
                       "global core:sample_rate"),
    "no captures": ({"global": GOOD_GLOBAL, "captures": None}, "captures: missing"),
    "capture with no start": ({"captures": [{"core:frequency": 1e6}]},
                              "captures[0] core:sample_start: missing"),
    "data shorter than a capture": ({"captures": [{"core:sample_start": 0},
                                                  {"core:sample_start": SAMPLES + 1}]},
                                    f"captures[1]: reaches sample {SAMPLES + 1}"),
    "data shorter than an annotation": ({"annotations": [{"core:sample_start": SAMPLES - 10,
                                                          "core:sample_count": 11}]},
                                        f"annotations[0]: reaches sample {SAMPLES + 1}"),
    "two recordings in an archive": ("archive", "holds 2 SigMF recordings"),
}


def test_bad_metadata_is_refused_naming_file_and_field_and_nothing_is_written(tmp_path):
    """All at once: scan goes on past a recording it refuses, and says why for each."""
    paths = {}
    for case, (content, said) in BAD.items():
        folder = tmp_path / case.replace(" ", "-")
        folder.mkdir()
        meta = folder / "bad.sigmf-meta"
        (folder / "bad.sigmf-data").write_bytes(noise("cs16"))
        document = {"global": GOOD_GLOBAL, "captures": [{"core:sample_start": 0}],
                    "annotations": []}
        if isinstance(content, dict):
            document.update(content)
            meta.write_text(json.dumps({k: v for k, v in document.items() if v is not None}))
            paths[case] = meta
        elif content == "archive":
            meta.write_text(json.dumps(document))
            paths[case] = folder / "two.sigmf"
            with tarfile.open(paths[case], "w") as tar:
                for name in ("a", "b"):
                    for suffix in (".sigmf-meta", ".sigmf-data"):
                        tar.add(folder / f"bad{suffix}", f"{name}/{name}{suffix}")
        else:
            meta.write_text(content)
            paths[case] = meta
    before = snapshot(tmp_path)
    for options in (["--annotate"], ["--json", "--samplerate", "250000"]):
        result = tool("scan", *paths.values(), *options)
        assert (result.returncode, result.stdout) == (1, ""), result.stderr
        errors = result.stderr.splitlines()
        assert len(errors) == len(BAD)
        for (case, (_, said)), error, path in zip(BAD.items(), errors, paths.values()):
            assert error.startswith(f"Error: {path}: ") and said in error, (case, error)
    assert snapshot(tmp_path) == before


def test_design_and_plot_take_the_rate_from_the_recording_and_say_the_rf_frequency(tmp_path):
    path = tmp_path / "g001_433.92M_250k.cu8"
    shutil.copy(remote_recordings(tmp_path)[0], path)
    cfg = tmp_path / "remote.cfg"
    result = tool("design", "-o", cfg, "--recording", path)
    assert result.returncode == 0, result.stderr
    assert struct.unpack_from("<I", cfg.read_bytes(), 4)[0] == 250000
    signal = json_lines(tool("scan", path, "--json").stdout)[0]
    rf = re.search(r"Designing for signal 1.*\((\S+ MHz)\)", result.stdout)
    assert rf and hertz(rf[1]) == pytest.approx(signal["frequency_hz"], abs=50)
    png = tmp_path / "scan.png"
    plot = tool("plot", "--recording", path, "-o", png)
    assert plot.returncode == 0 and png.stat().st_size > 0, plot.stderr


def test_optional_fields_that_make_no_sense_are_passed_over_with_a_warning(tmp_path):
    (tmp_path / "odd.sigmf-data").write_bytes(noise("cs16"))
    meta = tmp_path / "odd.sigmf-meta"
    meta.write_text(json.dumps({
        "global": {**GOOD_GLOBAL, "core:trailing_bytes": -4, "core:num_channels": "one"},
        "captures": [{"core:sample_start": 0, "core:frequency": "433.92 MHz"}],
        "annotations": [{"core:sample_start": 3, "core:sample_count": 2.5}]}))
    result = tool("scan", meta)
    assert result.returncode == 0, result.stderr
    assert headers(result.stdout)[0] == {str(tmp_path / "odd.sigmf-data"): ("cs16", 250000, None)}
    warnings = result.stderr.splitlines()
    assert [w.split(": ")[2].split(" ")[:2] for w in warnings] == [
        ["captures[0]", "core:frequency"], ["global", "core:trailing_bytes"],
        ["annotations[0]", "core:sample_count"]]


# The one table of formats, and recordings that are not what they are read as.

def test_every_format_of_the_table_is_read_as_the_signal_generator_writes_it(tmp_path):
    """Each entry of formats.FORMATS: written by iqsignals.as_recorded, read back by
    recording.Recording within a step of the format; and found by the reader from each of its
    extensions, its SigMF datatypes and its WAV header."""
    from iqenvconfig import reader
    from iqenvconfig.formats import FORMATS
    from iqenvconfig.recording import Recording

    rate = 250000
    iq = 0.5 * iqsignals.carrier(rate, 30e3, np.ones(SAMPLES)) + iqsignals.complex_noise(
        SAMPLES, 0.05, 3)
    quiet = []
    for name, form in FORMATS.items():
        data = iqsignals.as_recorded(iq, name)
        assert len(data) == SAMPLES * form.sample_bytes
        raw = tmp_path / f"raw-{name}"
        raw.write_bytes(data)
        recording = Recording(str(raw), rate, name)
        back = np.concatenate(list(recording.chunks(4096)))
        assert recording.samples == len(back) == SAMPLES
        step = 0 if form.floating else 0.5 / form.full_scale
        assert np.max(np.abs(back.real - iq.real)) <= step + 1e-6, name
        assert np.max(np.abs(back.imag - iq.imag)) <= step + 1e-6, name
        found = {}
        for extension in form.extensions:
            path = tmp_path / f"g001_433.92M_250k.{extension}"
            path.write_bytes(data)
            found[extension] = reader.open_recording(str(path), warn=quiet.append).format
        for datatype in form.datatypes:
            folder = tmp_path / datatype
            folder.mkdir()
            (folder / "r.sigmf-data").write_bytes(data)
            (folder / "r.sigmf-meta").write_text(json.dumps({
                "global": {"core:datatype": datatype, "core:version": "1.2.0",
                           "core:sample_rate": rate},
                "captures": [{"core:sample_start": 0}], "annotations": []}))
            found[datatype] = reader.open_recording(str(folder / "r"), warn=quiet.append).format
        if form.wav:
            tag, bits = form.wav
            header = struct.pack("<HHIIHH", tag, 2, rate, rate * 2 * bits // 8, 2 * bits // 8,
                                 bits)
            path = tmp_path / f"{name}.wav"
            path.write_bytes(b"RIFF" + struct.pack("<I", 28 + len(header) + len(data))
                             + b"WAVEfmt " + struct.pack("<I", len(header)) + header
                             + b"data" + struct.pack("<I", len(data)) + data)
            wav = reader.open_recording(str(path), warn=quiet.append)
            found["wav"] = wav.format
            assert (wav.samples, wav.samplerate) == (SAMPLES, rate)
        assert set(found.values()) == {name}, found
    assert quiet == []


def test_the_man_page_and_the_readme_name_every_format_of_the_table():
    from iqenvconfig.formats import FORMATS

    for doc in (os.path.join(ROOT, "docs", "iqenv.1"), os.path.join(ROOT, "README.md")):
        with open(doc) as f:
            text = f.read().replace("\\-", "-")
        for form in FORMATS.values():
            words = [form.name, *form.datatypes, *(f".{e}" for e in form.extensions)]
            assert [w for w in words if not re.search(rf"(?<![\w.]){re.escape(w)}\b", text)] \
                == [], doc


def genuine_recordings(folder):
    """Recordings that are what their names say, however they look: silence, noise that fills
    the scale, a tone that clips the converter at every offset, keyed and steady; in each
    format of the table."""
    from iqenvconfig.formats import FORMATS

    rate, n = 250000, 40000
    t = np.arange(n) / rate
    keyed = (np.sin(2 * np.pi * 50 * t) > 0).astype(np.float32)
    signals = {"silence": np.zeros(n, np.complex64),
               "noise": iqsignals.complex_noise(n, 0.3, 4),
               "loud-noise": iqsignals.complex_noise(n, 3.0, 5)}
    for amplitude in (0.9, 1.2, 20.0):
        for offset in (0.0, 1e3, 30e3, 0.45 * rate, -0.49 * rate):
            tone = amplitude * np.exp(2j * np.pi * offset * t) + iqsignals.complex_noise(
                n, 0.01, 6)
            signals[f"tone-{amplitude:g}-{offset:+.0f}"] = tone
            signals[f"keyed-{amplitude:g}-{offset:+.0f}"] = tone * keyed
    paths = []
    for name in FORMATS:
        for what, iq in signals.items():
            paths.append(folder / f"{what}_{rate // 1000}k.{name}")
            paths[-1].write_bytes(iqsignals.as_recorded(iq, name))
    return paths


def test_recordings_that_are_what_they_say_are_never_refused(tmp_path):
    paths = genuine_recordings(tmp_path)
    result = tool("scan", *paths, "--json")
    assert (result.returncode, result.stderr) == (0, "")


def refused(result, paths):
    """{path: its error} from a run that refused each of `paths`, and said nothing else."""
    lines = result.stderr.splitlines()
    said = {path: line for path in map(str, paths) for line in lines
            if line.startswith(f"Error: {path}: ")}
    assert len(said) == len(lines) == len(paths), result.stderr
    return said


def test_text_and_samples_of_another_format_are_refused_naming_the_file(tmp_path):
    noise = iqsignals.complex_noise(SAMPLES, 0.3, 7)
    text = (tmp_path / "notes_250k.cu8")
    with open(os.path.join(ROOT, "README.md")) as f:
        text.write_text(f.read())
    cases = {
        text: ("cu8", "this is text, not cu8 IQ samples"),
        tmp_path / "cu8-as-cf32_250k.cf32": ("cu8", "does not look like cf32 IQ samples"),
        tmp_path / "cs16-as-cf32_250k.cfile": ("cs16", "does not look like cf32 IQ samples"),
        tmp_path / "cf32-as-cu8_250k.cu8": ("cf32", "does not look like cu8 IQ samples"),
        tmp_path / "cf32-as-cs16_250k.cs16": ("cf32", "does not look like cs16 IQ samples"),
        tmp_path / "cu8-as-cs8_250k.cs8": ("cu8", "does not look like cs8 IQ samples"),
        tmp_path / "cs8-as-cu8_250k.cu8": ("cs8", "does not look like cu8 IQ samples"),
    }
    for path, (written, _) in cases.items():
        if path != text:
            path.write_bytes(iqsignals.as_recorded(noise, written))
    result = tool("scan", *cases)
    assert (result.returncode, result.stdout) == (1, "")
    said = refused(result, cases)
    for path, (_, why) in cases.items():
        assert why in said[str(path)] and "%" in said[str(path)], said[str(path)]
    for path, (_, why) in cases.items():
        if path != text:
            assert "give --format" in said[str(path)]
    # The other commands that read a recording refuse it before any work, the same way.
    for command in (["pulses", "--recording", text], ["design", "-o", tmp_path / "d.cfg",
                                                      "--recording", text],
                    ["plot", "-o", tmp_path / "p.png", "--recording", text]):
        result = tool(*command)
        assert (result.returncode, result.stderr) == (1, said[str(text)] + "\n"), command
    assert not (tmp_path / "d.cfg").exists() and not (tmp_path / "p.png").exists()


def corpus():
    """The shared recordings (shared/corpus beside the repository, or IQENV_CORPUS): their
    paths, or None where there are none."""
    candidates = [os.environ.get("IQENV_CORPUS")] + [
        os.path.join(ROOT, *[".."] * up, "shared", "corpus") for up in (1, 2)]
    for folder in filter(None, candidates):
        paths = sorted(p for p in glob.glob(os.path.join(folder, "*", "*"))
                       if os.path.isfile(p))
        if paths:
            return paths
    return None


def said_besides_the_extension(result, fmt):
    """The lines on standard error but the warnings that --format overrules a name's .cu8."""
    return [line for line in result.stderr.splitlines()
            if not re.fullmatch(rf"Warning: \S+: format {fmt} from --format; its name's "
                                r"extension says cu8", line)]


def test_every_corpus_recording_read_as_every_format_is_analysed_or_refused():
    """No traceback and no numpy warning, whatever the format: an analysis or a refusal that
    names the file. Read as what they are (cu8), none is refused; as cf32, every one is."""
    from iqenvconfig.formats import FORMATS

    paths = corpus()
    if paths is None:
        pytest.skip("no shared/corpus beside the repository (or IQENV_CORPUS)")
    with ThreadPoolExecutor(2) as pool:
        results = dict(zip(FORMATS, pool.map(
            lambda fmt: tool("scan", *paths, "--samplerate", 250000, "--format", fmt),
            FORMATS)))
    for fmt, result in results.items():
        analysed = headers(result.stdout)[0]
        errors = said_besides_the_extension(result, fmt)
        assert all(line.startswith("Error: ") for line in errors), result.stderr
        said = {line.split(": ")[1] for line in errors}
        assert len(said) == len(errors) and said | set(analysed) == set(paths), fmt
        assert not said & set(analysed)
        assert all(f"IQ samples ({FORMATS[fmt].description})" in e for e in errors), errors
        assert result.returncode == (1 if errors else 0)
        if fmt == "cu8":
            assert errors == []
        if fmt == "cf32":
            assert analysed == {}
    # pulses --recording, on two: the same. The smallest, and the smallest named .cu8.
    by_size = sorted(paths, key=os.path.getsize)
    few = [by_size[0], next(p for p in by_size if p.endswith(".cu8"))]
    runs = [(fmt, path) for fmt in FORMATS for path in few]
    with ThreadPoolExecutor(2) as pool:
        pulsed = pool.map(lambda r: tool("pulses", "--recording", r[1], "--samplerate", 250000,
                                         "--format", r[0], "--json"), runs)
    for (fmt, path), result in zip(runs, pulsed):
        lines = said_besides_the_extension(result, fmt)
        if fmt == "cu8":
            assert (result.returncode, lines) == (0, []), result.stderr
        else:
            assert result.returncode in (0, 1) and len(lines) <= 1, result.stderr
            assert all(line.startswith(f"Error: {path}: ") for line in lines), result.stderr


def test_long_work_shows_progress_on_a_terminal_and_nothing_elsewhere(tmp_path):
    path = tmp_path / "long_433.92M_250k.cu8"
    path.write_bytes(iqsignals.as_recorded(iqsignals.complex_noise(250000 * 6, 0.1, 3), "cu8"))
    plain = run([TOOL, "scan", str(path)], text=True)
    assert plain.returncode == 0 and plain.stderr == ""
    # Standard error a terminal: the share read, written over itself, cleared at the end.
    leader, follower = pty.openpty()
    proc = subprocess.Popen([TOOL, "scan", str(path)], stdout=subprocess.PIPE,
                            stderr=follower)
    os.close(follower)
    said = b""
    while True:
        try:
            piece = os.read(leader, 4096)
        except OSError:  # the terminal's other end closed
            break
        if not piece:
            break
        said += piece
    os.close(leader)
    assert proc.wait() == 0 and proc.stdout.read().decode() == plain.stdout
    shown = said.decode()
    assert len(re.findall(r"\rlong_433\.92M_250k\.cu8: \d+ %\r", shown)) >= 3
    assert shown.endswith("\r\x1b[K")
