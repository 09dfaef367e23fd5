"""The demo runs end to end and recovers every bit the remote sent."""
import json
import os
import re
import sys

import matplotlib.image
import scipy.io.wavfile
from conftest import IQENV, ROOT, TOOL, run


def test_demo_recovers_the_bits_sent(tmp_path):
    out = tmp_path / "demo"
    command = [sys.executable, os.path.join(ROOT, "tools", "demo.py"), "--iqenv", IQENV,
               "--iqenv-config", TOOL, "--out", str(out)]
    result = run(command, text=True)
    assert result.returncode == 0, result.stdout + result.stderr

    sent = re.search(r"^Sent +\((\d+) presses\): ([01]+)$", result.stdout, re.M)
    recovered = re.findall(r"^Recovered \(press \d+\): +([01]+)", result.stdout, re.M)
    assert sent and len(sent.group(2)) == 24
    assert recovered == [sent.group(2)] * int(sent.group(1))
    assert f"Everything is in {out}/" in result.stdout

    rate, wav = scipy.io.wavfile.read(out / "envelope.wav")
    values = (out / "envelope.f32").stat().st_size // 4
    assert rate == 24000 and wav.ndim == 1 and len(wav) == values > 4000
    height, width = matplotlib.image.imread(out / "demo.png").shape[:2]
    assert width >= 800 and height >= 800
    assert sorted(os.listdir(out)) == ["demo.png", "envelope.f32", "envelope.sigmf-meta",
                                       "envelope.wav", "recording.cf32", "remote.cfg"]
    # The envelope's SigMF metadata: iqenv's output rate, the remote's frequency.
    meta = json.loads((out / "envelope.sigmf-meta").read_text())
    assert meta["global"]["core:datatype"] == "rf32_le"
    assert (meta["global"]["core:sample_rate"], meta["global"]["core:dataset"]) == (
        24000, "envelope.f32")
    assert meta["captures"] == [{"core:sample_start": 0, "core:frequency": 433.92e6}]

    # make demo again writes over what it wrote, its metadata included.
    again = run(command, text=True)
    assert again.returncode == 0, again.stderr
    assert json.loads((out / "envelope.sigmf-meta").read_text()) == meta
