"""Real recordings, from the recording to rtl_433: the messages rtl_433 decodes from each
directly come out of our pulse data too; the printed flex decoder reads the reported rows from
the raw recording as well; and the same values give the same output however they arrive."""
import json
import os
import re
import subprocess
import threading
import time

import pytest
from conftest import CORPUS, CORPUS_RATE, TOOL, iqsignals, run

pytestmark = pytest.mark.skipif(CORPUS is None, reason="the recordings are not beside the tree")

# Small recordings, one or more of each kind of coding the corpus has: PWM and three-state
# (PT2262), differential Manchester sensors 72 ms apart (WT450), Manchester, PCM, PPM.
DECODED = ["PT2262_01/gfile001.data", "UPM_02/gfile001.data", "UPM_01/gfile002.data",
           "acurite_01/VN1TXC_02.data", "fineoffset_01/gfile001.data",
           "alectov1/gfile002.data"]


def recording(name):
    return os.path.join(CORPUS, name)


def given(*args):
    return [*args, "--samplerate", str(CORPUS_RATE), "--format", "cu8"]


def messages(text):
    """rtl_433's JSON messages, without the time (and the repeat count some decoders keep)."""
    out = set()
    for line in text.splitlines():
        if line.startswith("{"):
            message = json.loads(line)
            message.pop("time", None)
            message.pop("repeat", None)
            out.add(json.dumps(message, sort_keys=True))
    return out


def rtl_433(*args, stdin=None):
    result = subprocess.run(["rtl_433", *args, "-F", "json"], input=stdin, capture_output=True,
                            text=True, timeout=120)
    return result.stdout


@pytest.mark.parametrize("name", DECODED)
def test_rtl_433_gets_every_message_through_our_pulse_data(name):
    path = recording(name)
    truth = messages(rtl_433("-r", f"cu8:{path}", "-s", "250k"))
    ours = run([TOOL, "pulses", *given("--recording", path), "--all", "--ook"], text=True)
    assert ours.returncode == 0 and ours.stderr == "", ours.stderr
    assert truth and messages(rtl_433("-r", "ook:-", stdin=ours.stdout)) == truth


@pytest.mark.parametrize("name", DECODED[:4])
def test_the_printed_decoder_reads_the_reported_rows_from_the_raw_recording(name):
    path = recording(name)
    result = run([TOOL, "pulses", *given("--recording", path), "--json"], text=True)
    bursts = [json.loads(line) for line in result.stdout.splitlines()]
    decoded = [b for b in bursts if b["verdict"] == "decoded"]
    assert decoded, result.stdout
    for burst in decoded:
        theirs = re.findall(r"\{(\d+)\}([0-9a-f]*)", "".join(
            line[line.index('"codes"'):] for line in rtl_433(
                "-R", "0", "-X", burst["flex"], "-r", f"cu8:{path}", "-s", "250k").splitlines()))
        rows = {bin(int(digits, 16))[2:].zfill(4 * len(digits))[:int(n)]
                for n, digits in theirs if n != "0"}
        # rtl_433's own detector starts and ends where the recording does; each whole row we
        # report is a row it reads.
        whole = [r for r in burst["rows"] if len(r) == len(burst["consensus"])]
        if set(burst["consensus"]) <= set("01"):
            assert set(whole) <= rows, (burst["flex"], whole, rows)


def envelope_once(tmp_path, name):
    """iqenv's output for a recording, kept by pulses --recording, and that run's JSON."""
    kept = tmp_path / "env.f32"
    result = run([TOOL, "pulses", *given("--recording", recording(name)), "--json",
                  "--envelope", str(kept)], text=True)
    assert result.returncode == 0, result.stderr
    return kept.read_bytes(), result.stdout


def fed(data, piece, pause_every=0):
    """pulses - --json on `data` written in pieces of `piece` bytes, pausing now and then."""
    proc = subprocess.Popen([TOOL, "pulses", "-", "--json"], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def write():
        for n, at in enumerate(range(0, len(data), piece)):
            proc.stdin.write(data[at:at + piece])
            proc.stdin.flush()
            if pause_every and n % pause_every == pause_every - 1:
                time.sleep(0.15)
        proc.stdin.close()

    writer = threading.Thread(target=write)
    writer.start()
    out = proc.stdout.read()
    writer.join()
    assert proc.wait() == 0, proc.stderr.read()
    return out.decode()


@pytest.mark.parametrize("name", ["tpms_fsk/g002_433.92M_250k.cu8", "door_bell_01/gfile002.data"])
def test_the_same_values_give_the_same_output_however_they_arrive(tmp_path, name):
    data, from_recording = envelope_once(tmp_path, name)
    strip = lambda text: re.sub(r'"file":"[^"]*",', "", text)  # noqa: E731
    reference = strip(from_recording)
    assert reference
    # The recording again, and the envelope kept, from a file and from a pipe in pieces of one
    # value (with pauses), of 7 bytes (values split across reads) and of 64 KiB.
    assert strip(envelope_once(tmp_path, name)[1]) == reference
    assert strip(run([TOOL, "pulses", str(tmp_path / "env.f32"), "--json"],
                     text=True).stdout) == reference
    for piece, pause in ((4, 4000), (7, 0), (65536, 0)):
        assert fed(data, piece, pause) == reference, (piece, pause)


@pytest.mark.parametrize("name", ["tpms_fsk/g010_433.92M_250k.cu8", "danfoss_CFR/dfile001.data"])
def test_frequency_keyed_sensors_are_said_to_be_and_given_no_bits(name):
    # Their elements (52 and 100 us) are shorter than three values at 24000/s.
    result = run([TOOL, "pulses", *given("--recording", recording(name))], text=True)
    assert result.returncode == 0, result.stderr
    assert re.search(r"^  FSK: tones at .* shorter than 3 values \(125 us\) at 24000/s: no bits",
                     result.stdout, re.M), result.stdout
    said = run([TOOL, "pulses", *given("--recording", recording(name)), "--json"], text=True)
    bursts = [json.loads(line) for line in said.stdout.splitlines()]
    assert bursts and all(b["verdict"] in ("not resolved", "noise") and "rows" not in b
                          for b in bursts), said.stdout
    assert any(b["verdict"] == "not resolved" for b in bursts)


def test_a_real_sensor_under_noise_reaches_rtl_433_through_our_path_alone(tmp_path):
    """Noise 3 dB stronger than the sensor's strongest millisecond (in the whole 250 kHz): rtl_433
    on the samples hears nothing; through the channel matched to the sensor's elements its
    message comes out whole, CRC and all, for every draw of the noise."""
    path = recording("calibeur_RF104_01/gfile001.data")
    truth = messages(rtl_433("-r", f"cu8:{path}", "-s", "250k"))
    with open(path, "rb") as f:
        raw = f.read()
    for seed in range(3):
        noisy = tmp_path / f"noisy{seed}.cu8"
        noisy.write_bytes(iqsignals.with_noise(raw, -3.0, seed, CORPUS_RATE))
        assert not messages(rtl_433("-r", f"cu8:{noisy}", "-s", "250k"))
        ours = run([TOOL, "pulses", *given("--recording", str(noisy)), "--all", "--ook"],
                   text=True)
        assert ours.returncode == 0 and ours.stderr == "", ours.stderr
        assert messages(rtl_433("-r", "ook:-", stdin=ours.stdout)) == truth, seed
