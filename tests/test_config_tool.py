"""iqenv-config design and plot: files iqenv reads, iqenv's refusals, and the plot."""
import re
import subprocess

import numpy as np
import pytest
from conftest import ONE_TAP, TOOL, config_bytes, design, iqenv_report, run, taps_of


@pytest.mark.parametrize("samplerate, center", [(2400000, 433.92e6), (250000, -30e3)])
def test_design_is_read_by_iqenv_and_shown_back(tmp_path, samplerate, center):
    path, designed = design(tmp_path, samplerate, "--center", center, "--bandwidth", 12e3)
    status, report = iqenv_report(path)
    assert status == 0 and len(report) == 4
    assert designed.splitlines()[:4] == report
    shown = run([TOOL, "show", "--taps", str(path)], text=True)
    assert shown.returncode == 0 and shown.stdout.splitlines()[:4] == report

    # The table lists exactly the taps in the file, in order.
    rows = re.findall(r"^\s*(\d+)\s+(\S+)\s+(\S+)$", shown.stdout, re.M)
    table = np.array([complex(float(re_), float(im)) for _, re_, im in rows])
    np.testing.assert_allclose(table, taps_of(path), rtol=1e-7, atol=0)


def test_design_refuses_what_iqenv_refuses_with_its_text(tmp_path):
    refusals = {
        ("--samplerate", "0"): config_bytes(rate=0),
        ("--frequency", "1e39"): config_bytes(np.inf),
        ("--taps", "0"): config_bytes(taps=b""),
    }
    for (option, value), equivalent in refusals.items():
        reference = tmp_path / "reference.bin"
        reference.write_bytes(equivalent)
        message = iqenv_report(reference)[1][-1]
        arguments = {"--samplerate": "2400000", "--center": "1e5", "--bandwidth": "2e4"}
        arguments[option] = value
        out = tmp_path / "new.bin"
        result = run([TOOL, "design", "-o", str(out)] + [x for kv in arguments.items() for x in kv],
                     text=True)
        assert (result.returncode, result.stderr.strip()) == (2, message)
        assert not out.exists()


def test_plot_writes_a_png_and_refuses_like_iqenv(tmp_path):
    path, _ = design(tmp_path, 2400000, "--center", 100e3)
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


def test_a_reader_that_goes_away_ends_the_tool_quietly(tmp_path):
    """show --taps into head: far more than a pipe holds, and the reader gone after one line."""
    path = tmp_path / "long.cfg"
    path.write_bytes(config_bytes(taps=ONE_TAP * 8192))
    tool = subprocess.Popen([TOOL, "show", "--taps", str(path)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    assert tool.stdout.readline().startswith(b"=== ")
    tool.stdout.close()
    errors = tool.stderr.read()
    assert (tool.wait(timeout=60), errors) == (1, b"")
