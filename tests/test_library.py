"""The library as a user calls it: the README's example, run as it stands on a recording."""
import contextlib
import io
import os
import re

import numpy as np
from conftest import IQENV, ROOT

import iqsignals
import keyed
from iqenvconfig import pipeline, pulsestream


def test_the_readmes_example_reads_a_recording_to_bits(tmp_path, monkeypatch):
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        example = re.search(r"```python\n(.*?)```", f.read(), re.S).group(1)
    # The recording the example names: two remotes, 250 kS/s, the rate and the frequency in
    # the name, as rtl_433 names its dumps.
    ppm = keyed.Device("ppm", 500, [1, 0, 1, 1, 0, 0, 1, 0, 1, 1, 1, 0, 0, 0, 1, 1], seed=2)
    pwm = keyed.Device("pwm_period", 400, [0, 1, 1, 0, 1, 0, 0, 1, 1, 1, 0, 0], seed=3)
    a = keyed.recording(ppm, 250000, 40e3, 20.0, 20.9e3, amplitude=0.08)
    b = keyed.recording(pwm, 250000, -60e3, 30.0, 20.9e3, seed=9)
    iq = np.zeros(max(len(a), len(b)), dtype=np.complex64)
    iq[:len(a)] += a
    iq[:len(b)] += b
    (tmp_path / "g001_433.92M_250k.cu8").write_bytes(iqsignals.as_recorded(iq, "cu8"))
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(pulsestream, "find_iqenv", lambda: IQENV)
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        exec(example, {"pipeline": pipeline})  # noqa: S102 (the README's own code)
    lines = printed.getvalue().splitlines()
    assert [line.split()[0:2] for line in lines] == [["-60.0", "kHz"], ["+40.0", "kHz"]]
    assert lines[0].endswith(" decoded PWM " + "".join(map(str, pwm.bits)))
    assert lines[1].endswith(" decoded PPM " + "".join(map(str, ppm.bits)))
